#include "ui/dlg_get_pcap.h"

#include "ui/dialog_units.h"

namespace sondrel {

DlgGetPCAP::DlgGetPCAP(QWidget* parent)
    : QDialog(parent),
      m_message(new QLabel(this)),
      m_downloadLink(new CHyperLink(this)),
      m_okButton(new QPushButton(QStringLiteral("OK"), this))
{
    setWindowTitle(QStringLiteral("PCAP library is missing"));
    // Shown without an owner: it must block no other window, the tray icon included.
    setWindowModality(Qt::WindowModal);
    const DialogUnits units(font());
    setFixedSize(units.size(186, 86));

    m_message->setTextFormat(Qt::PlainText);
    m_message->setWordWrap(true);
    m_message->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_message->setText(QStringLiteral("    PCAP library is not installed. Please, install the libpcap package with your "
                                      "package manager or download it from www.tcpdump.org:"));
    m_message->setGeometry(units.rect(7, 7, 172, 36));

    m_downloadLink->setText(QStringLiteral("Download libpcap..."));
    m_downloadLink->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_downloadLink->setGeometry(units.rect(50, 46, 86, 8));
    m_downloadLink->bind();
    m_downloadLink->SetLinkTarget(QString::fromLatin1(kDownloadUrl));

    m_okButton->setGeometry(units.rect(68, 64, 50, 14));
    m_okButton->setDefault(true);
    m_okButton->setFocus();
    connect(m_okButton, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace sondrel
