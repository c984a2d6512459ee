#include "ui/window_modal.h"

namespace sondrel {

int execWindowModal(QDialog& dialog)
{
    dialog.setWindowModality(Qt::WindowModal);
    return dialog.exec();
}

void showWindowModalBox(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text)
{
    QMessageBox box(icon, caption, text, QMessageBox::Ok, owner);
    execWindowModal(box);
}

}  // namespace sondrel
