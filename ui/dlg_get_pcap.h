#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include "ui/hyperlink.h"

namespace sondrel {

// Tells the user that the capture library could not be loaded and where to get it.
// Shown modally, without an owner, once per start of capture.
class DlgGetPCAP : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kDownloadUrl = "https://www.tcpdump.org/#latest-releases";

    explicit DlgGetPCAP(QWidget* parent = nullptr);

    CHyperLink& downloadLink() { return *m_downloadLink; }
    QLabel& message() { return *m_message; }
    QPushButton& okButton() { return *m_okButton; }

private:
    QLabel* m_message;
    CHyperLink* m_downloadLink;
    QPushButton* m_okButton;
};

}  // namespace sondrel
