#include "ui/dlg_opt.h"

#include <arpa/inet.h>

#include <algorithm>

#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QPalette>

#include "ui/dialog_units.h"
#include "ui/window_modal.h"

namespace sondrel {
namespace {

std::optional<QString> chooseFolderWithDialog(QWidget* parent)
{
    QFileDialog dialog(parent, QStringLiteral("Select a folder"), QDir::homePath());
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    if (execWindowModal(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().front();
}

std::string dottedAddress(std::uint32_t networkOrder)
{
    in_addr address{};
    address.s_addr = networkOrder;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

// The list keeps its items in alphabetical order, ignoring case first.
bool sortsBefore(const QString& a, const QString& b)
{
    const int folded = a.compare(b, Qt::CaseInsensitive);
    return folded != 0 ? folded < 0 : a.compare(b, Qt::CaseSensitive) < 0;
}

// Each item tells what it stands for, since a one-name list reads as that interface does.
constexpr int kKindRole = Qt::UserRole;

QString listItemText(const CaptureSet& set)
{
    QStringList names;
    for (const std::string& name : set.names) {
        names << QString::fromStdString(name);
    }
    return names.join(QStringLiteral(", "));
}

void colourCaption(QGroupBox& frame, const QColor& colour)
{
    QPalette palette = frame.palette();
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        palette.setColor(role, colour);
    }
    frame.setPalette(palette);
}

}  // namespace

CDlgOpt::CDlgOpt(bool dailyReports, const std::u16string& reportFolder, CaptureSet current,
                 std::vector<AdapterEntry> adapters, QWidget* parent)
    : QDialog(parent),
      m_adapters(std::move(adapters)),
      m_chooseFolder(chooseFolderWithDialog),
      m_dailyReports(dailyReports),
      m_reportFolder(reportFolder),
      m_current(std::move(current)),
      m_generalFrame(new QGroupBox(QStringLiteral("General settings"), this)),
      m_dailyReportsBox(new QCheckBox(QStringLiteral("Save daily reports (at 00:00)"), this)),
      m_pathEdit(new QLineEdit(this)),
      m_browseButton(new QPushButton(QStringLiteral("..."), this)),
      m_interfaceFrame(new QGroupBox(QStringLiteral("Network interface to snoop: "), this)),
      m_interfaceBox(new QComboBox(this)),
      m_okButton(new QPushButton(QStringLiteral("OK"), this)),
      m_cancelButton(new QPushButton(QStringLiteral("Cancel"), this))
{
    setWindowTitle(QStringLiteral("Options"));
    const DialogUnits units(font());
    setFixedSize(units.size(218, 138));

    // The frames are siblings drawn under the controls, not their parents, so
    // their caption colour does not spread to the controls' texts.
    m_generalFrame->setGeometry(units.rect(7, 7, 204, 66));
    m_interfaceFrame->setGeometry(units.rect(7, 80, 204, 31));
    colourCaption(*m_generalFrame, captionColour());
    colourCaption(*m_interfaceFrame, captionColour());
    m_generalFrame->lower();
    m_interfaceFrame->lower();

    m_dailyReportsBox->setGeometry(units.rect(16, 22, 160, 10));
    auto* resetNote = new QLabel(QStringLiteral("Also reset data after saving"), this);
    resetNote->setGeometry(units.rect(29, 33, 160, 8));
    auto* pathLabel = new QLabel(QStringLiteral("Path for the reports:"), this);
    pathLabel->setGeometry(units.rect(11, 45, 160, 9));

    m_pathEdit->setGeometry(units.rect(10, 56, 184, 14));
    m_browseButton->setGeometry(units.rect(195, 56, 14, 14));
    m_browseButton->setAutoDefault(false);
    connect(m_browseButton, &QPushButton::clicked, this, &CDlgOpt::browseForFolder);

    m_interfaceBox->setEditable(true);
    m_interfaceBox->setInsertPolicy(QComboBox::NoInsert);
    const QRect comboRect = units.rect(13, 92, 191, 14);
    m_interfaceBox->setGeometry(comboRect.x(), comboRect.y(), comboRect.width(), m_interfaceBox->sizeHint().height());

    m_okButton->setGeometry(units.rect(7, 117, 50, 14));
    m_okButton->setDefault(true);
    m_cancelButton->setGeometry(units.rect(161, 117, 50, 14));
    m_cancelButton->setAutoDefault(false);
    connect(m_okButton, &QPushButton::clicked, this, &CDlgOpt::accept);
    connect(m_cancelButton, &QPushButton::clicked, this, &CDlgOpt::reject);

    fillInterfaces();
    m_dailyReportsBox->setChecked(dailyReports);
    m_pathEdit->setText(QString::fromStdU16String(reportFolder));
}

void CDlgOpt::setFolderChooser(FolderChooser chooser)
{
    m_chooseFolder = std::move(chooser);
}

void CDlgOpt::fillInterfaces()
{
    m_interfaceBox->addItem(QStringLiteral("All interfaces"), int(CaptureSet::Kind::All));
    if (m_current.kind == CaptureSet::Kind::Names) {
        m_interfaceBox->addItem(listItemText(m_current), int(CaptureSet::Kind::Names));
    }
    const int firstInterface = m_interfaceBox->count();

    std::vector<QString> items;
    items.reserve(m_adapters.size());
    for (const AdapterEntry& adapter : m_adapters) {
        items.push_back(QString::fromStdU16String(adapter.description));
    }
    std::stable_sort(items.begin(), items.end(), sortsBefore);
    for (const QString& item : items) {
        m_interfaceBox->addItem(item, int(CaptureSet::Kind::Address));
    }

    if (m_current.followsInterfaces()) {
        m_interfaceBox->setCurrentIndex(m_current.kind == CaptureSet::Kind::All ? 0 : 1);
        return;
    }
    if (items.empty()) {
        m_interfaceBox->setCurrentIndex(-1);
        return;
    }

    // Start on the interface in use, so that OK alone never moves capture elsewhere.
    int start = firstInterface;
    const std::string configured = dottedAddress(m_current.address);
    const auto inUse = std::find_if(m_adapters.begin(), m_adapters.end(),
                                    [&](const AdapterEntry& adapter) { return adapter.addressText == configured; });
    if (inUse != m_adapters.end()) {
        start = std::max(firstInterface, m_interfaceBox->findText(QString::fromStdU16String(inUse->description),
                                                                  Qt::MatchExactly | Qt::MatchCaseSensitive));
    }
    m_interfaceBox->setCurrentIndex(start);
}

void CDlgOpt::browseForFolder()
{
    if (!m_chooseFolder) {
        return;
    }
    if (const std::optional<QString> folder = m_chooseFolder(this)) {
        m_pathEdit->setText(*folder);
    }
}

std::optional<CaptureSet> CDlgOpt::choiceAt(int index) const
{
    switch (CaptureSet::Kind(m_interfaceBox->itemData(index, kKindRole).toInt())) {
    case CaptureSet::Kind::All:
        return CaptureSet::all();
    case CaptureSet::Kind::Names:
        return m_current;
    case CaptureSet::Kind::Address:
        break;
    }
    const std::u16string chosen = m_interfaceBox->itemText(index).toStdU16String();
    const auto match = std::find_if(m_adapters.begin(), m_adapters.end(),
                                    [&](const AdapterEntry& adapter) { return adapter.description == chosen; });
    if (match == m_adapters.end() || inetAddr(match->addressText) == 0) {
        return std::nullopt;
    }
    return CaptureSet::ofAddress(inetAddr(match->addressText));
}

void CDlgOpt::accept()
{
    m_dailyReports = m_dailyReportsBox->isChecked();
    m_reportFolder = m_pathEdit->text().toStdU16String();

    const int selected = m_interfaceBox->currentIndex();
    m_captureChoice = selected >= 0 ? choiceAt(selected) : std::nullopt;
    QDialog::accept();
}

}  // namespace sondrel
