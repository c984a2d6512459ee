#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include "ui/hyperlink.h"

namespace sondrel {

// Where "Send feedback" leads: the project's own feedback page.
inline constexpr const char* kFeedbackUrl = "https://sondrel.org/feedback";

// The About box: product line, application icon and the feedback link.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    CHyperLink& feedbackLink() { return *m_feedbackLink; }
    QLabel& productLine() { return *m_productLine; }
    QLabel& icon() { return *m_icon; }
    QPushButton& okButton() { return *m_okButton; }

    static QString productText();

private:
    QLabel* m_icon;
    QLabel* m_productLine;
    CHyperLink* m_feedbackLink;
    QPushButton* m_okButton;
};

// "About...": runs the About box modally over the owner.
void ShowAboutBox(QWidget* owner);

}  // namespace sondrel
