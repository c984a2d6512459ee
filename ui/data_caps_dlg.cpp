#include "ui/data_caps_dlg.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cmath>

namespace sondrel {

namespace {

constexpr std::uint64_t kMegabyte = std::uint64_t(1) << 20;
constexpr std::uint64_t kGigabyte = std::uint64_t(1) << 30;
constexpr int kDaily = 0;
constexpr int kMegabytes = 0;
constexpr int kGigabytes = 1;

QString allApplications() { return QStringLiteral("All applications"); }

// The limit in the largest unit it is a whole number of.
QString limitText(std::uint64_t bytes, bool gigabytes) {
    const std::uint64_t unit = gigabytes ? kGigabyte : kMegabyte;
    if (bytes % unit == 0) return QString::number(bytes / unit);
    return QString::number(double(bytes) / double(unit), 'g', 15);
}

}  // namespace

std::optional<std::uint64_t> parseLimit(const QString& text, bool gigabytes) {
    const QString trimmed = text.trimmed();
    bool ok = false;
    double value = QLocale::c().toDouble(trimmed, &ok);
    if (!ok) value = QLocale::system().toDouble(trimmed, &ok);
    if (!ok || !std::isfinite(value) || value <= 0) return std::nullopt;
    const double bytes = std::round(value * double(gigabytes ? kGigabyte : kMegabyte));
    // 2^64 itself is the first double that no longer fits.
    if (bytes < 1 || bytes >= 18446744073709551616.0) return std::nullopt;
    return std::uint64_t(bytes);
}

DataCapsDlg::DataCapsDlg(const std::vector<DataCap>& caps, const QStringList& applications, QWidget* parent)
    : QDialog(parent), m_applications(applications) {
    setWindowTitle(QStringLiteral("Data caps"));
    m_table = new QTableWidget(0, ColumnCount, this);
    m_table->setHorizontalHeaderLabels(
        {QStringLiteral("Period"), QStringLiteral("Application"), QStringLiteral("Limit"), QStringLiteral("Unit")});
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->horizontalHeader()->setSectionResizeMode(ApplicationColumn, QHeaderView::Stretch);
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);

    m_addButton = new QPushButton(QStringLiteral("&Add"), this);
    m_removeButton = new QPushButton(QStringLiteral("&Remove"), this);
    m_message = new QLabel(this);
    m_message->setWordWrap(true);
    QPalette warning = m_message->palette();
    warning.setColor(QPalette::WindowText, QColor(0xB0, 0x00, 0x20));
    m_message->setPalette(warning);
    m_message->hide();

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_okButton = buttons->button(QDialogButtonBox::Ok);

    auto* rowButtons = new QHBoxLayout;
    rowButtons->addWidget(m_addButton);
    rowButtons->addWidget(m_removeButton);
    rowButtons->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_table, 1);
    layout->addLayout(rowButtons);
    layout->addWidget(m_message);
    layout->addWidget(buttons);
    resize(560, 320);

    connect(m_addButton, &QPushButton::clicked, this, [this] {
        addRow({DataCap::Period::Month, {}, 10 * kGigabyte});
        m_table->setCurrentCell(m_table->rowCount() - 1, LimitColumn);
        limitEdit(m_table->rowCount() - 1).setFocus();
    });
    connect(m_removeButton, &QPushButton::clicked, this, &DataCapsDlg::removeCurrentRow);
    connect(buttons, &QDialogButtonBox::accepted, this, &DataCapsDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &DataCapsDlg::reject);
    // Clicking into a row's box does not make it the table's current row by itself.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { focusMoved(now); });

    for (const DataCap& cap : caps) addRow(cap);
}

QComboBox& DataCapsDlg::periodBox(int row) const {
    return *static_cast<QComboBox*>(m_table->cellWidget(row, PeriodColumn));
}

QComboBox& DataCapsDlg::applicationBox(int row) const {
    return *static_cast<QComboBox*>(m_table->cellWidget(row, ApplicationColumn));
}

QLineEdit& DataCapsDlg::limitEdit(int row) const {
    return *static_cast<QLineEdit*>(m_table->cellWidget(row, LimitColumn));
}

QComboBox& DataCapsDlg::unitBox(int row) const {
    return *static_cast<QComboBox*>(m_table->cellWidget(row, UnitColumn));
}

void DataCapsDlg::addRow(const DataCap& cap) {
    const int row = m_table->rowCount();
    m_table->insertRow(row);
    auto* period = new QComboBox;
    period->addItems({QStringLiteral("Daily"), QStringLiteral("Monthly")});
    period->setCurrentIndex(cap.period == DataCap::Period::Day ? kDaily : 1);
    auto* application = new QComboBox;
    application->setEditable(true);
    application->setInsertPolicy(QComboBox::NoInsert);
    application->addItem(allApplications());
    application->addItems(m_applications);
    application->setCurrentText(cap.application.empty() ? allApplications()
                                                        : QString::fromStdU16String(cap.application));
    auto* limit = new QLineEdit;
    auto* unit = new QComboBox;
    unit->addItems({QStringLiteral("MB"), QStringLiteral("GB")});
    const bool gigabytes = cap.limitBytes >= kGigabyte && cap.limitBytes % kGigabyte == 0;
    unit->setCurrentIndex(gigabytes ? kGigabytes : kMegabytes);
    limit->setText(limitText(cap.limitBytes, gigabytes));
    connect(limit, &QLineEdit::textEdited, m_message, &QLabel::hide);
    m_table->setCellWidget(row, PeriodColumn, period);
    m_table->setCellWidget(row, ApplicationColumn, application);
    m_table->setCellWidget(row, LimitColumn, limit);
    m_table->setCellWidget(row, UnitColumn, unit);
}

void DataCapsDlg::focusMoved(QWidget* now) {
    for (int row = 0; now && row < m_table->rowCount(); ++row) {
        for (int column = 0; column < ColumnCount; ++column) {
            QWidget* cell = m_table->cellWidget(row, column);
            if (cell && (cell == now || cell->isAncestorOf(now))) {
                m_table->setCurrentCell(row, column);
                return;
            }
        }
    }
}

void DataCapsDlg::removeCurrentRow() {
    const int row = m_table->currentRow();
    if (row < 0) return;
    m_table->removeRow(row);
    m_message->hide();
}

std::optional<DataCap> DataCapsDlg::capOfRow(int row) const {
    const std::optional<std::uint64_t> bytes = parseLimit(limitEdit(row).text(), unitBox(row).currentIndex() == kGigabytes);
    if (!bytes) return std::nullopt;
    DataCap cap;
    cap.period = periodBox(row).currentIndex() == kDaily ? DataCap::Period::Day : DataCap::Period::Month;
    const QString application = applicationBox(row).currentText().trimmed();
    if (application != allApplications()) cap.application = application.toStdU16String();
    cap.limitBytes = *bytes;
    return cap;
}

void DataCapsDlg::accept() {
    std::vector<DataCap> caps;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const std::optional<DataCap> cap = capOfRow(row);
        if (!cap) {
            m_message->setText(
                QStringLiteral("Row %1: the limit must be a number greater than 0.").arg(row + 1));
            m_message->show();
            m_table->setCurrentCell(row, LimitColumn);
            limitEdit(row).setFocus();
            limitEdit(row).selectAll();
            return;
        }
        caps.push_back(*cap);
    }
    m_caps = std::move(caps);
    QDialog::accept();
}

}  // namespace sondrel
