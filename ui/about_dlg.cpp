#include "ui/about_dlg.h"

#include <QGroupBox>

#include "ui/sondrel_resources.h"
#include "ui/dialog_units.h"
#include "ui/window_modal.h"

namespace sondrel {

QString CAboutDlg::productText()
{
    return QStringLiteral("Sondrel version " SONDREL_VERSION);
}

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent),
      m_icon(new QLabel(this)),
      m_productLine(new QLabel(this)),
      m_feedbackLink(new CHyperLink(this)),
      m_okButton(new QPushButton(QStringLiteral("OK"), this))
{
    setWindowTitle(QStringLiteral("About Sondrel"));
    const DialogUnits units(font());
    setFixedSize(units.size(184, 175));

    // Frames first, so that the controls placed over them stay on top.
    auto* upperFrame = new QGroupBox(this);
    upperFrame->setGeometry(units.rect(7, 4, 170, 100));
    auto* lowerFrame = new QGroupBox(this);
    lowerFrame->setGeometry(units.rect(7, 108, 170, 42));
    upperFrame->lower();
    lowerFrame->lower();

    constexpr int kIconPixels = 48;
    m_icon->setPixmap(mainIcon().pixmap(kIconPixels, kIconPixels));
    m_icon->setGeometry(units.x(16), units.y(16), kIconPixels, kIconPixels);

    m_productLine->setText(productText());
    m_productLine->setGeometry(units.rect(52, 18, 120, 10));

    auto* tagline = new QLabel(this);
    tagline->setWordWrap(true);
    tagline->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    tagline->setText(QStringLiteral("Network activity monitor: which application on this computer exchanges "
                                    "how many bytes with which remote hosts."));
    tagline->setGeometry(units.rect(52, 32, 120, 60));

    auto* feedbackText = new QLabel(QStringLiteral("To send your feedback, click here:"), this);
    feedbackText->setWordWrap(true);
    feedbackText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    feedbackText->setGeometry(units.rect(15, 119, 92, 20));

    m_feedbackLink->setText(QStringLiteral("Send feedback"));
    m_feedbackLink->setGeometry(units.rect(110, 127, 60, 8));
    m_feedbackLink->bind();
    m_feedbackLink->SetLinkTarget(QString::fromLatin1(kFeedbackUrl));

    m_okButton->setGeometry(units.rect(67, 156, 50, 14));
    m_okButton->setDefault(true);
    m_okButton->setFocus();
    connect(m_okButton, &QPushButton::clicked, this, &QDialog::accept);
}

void ShowAboutBox(QWidget* owner)
{
    CAboutDlg dialog(owner);
    execWindowModal(dialog);
}

}  // namespace sondrel
