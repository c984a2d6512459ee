#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QString>

namespace sondrel {

// Runs a dialog modally for the window that owns it only: that window is
// blocked, every other one (the tray icon above all) keeps working. A dialog
// without an owner then blocks nothing, as a box without owner should not.
int execWindowModal(QDialog& dialog);

// A message box with one OK button, run as above.
void showWindowModalBox(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text);

}  // namespace sondrel
