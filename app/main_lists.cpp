#include "app/main_lists.h"

#include <algorithm>

#include "base/text.h"

namespace sondrel {

namespace {

std::vector<ColumnSpec> applicationColumns() {
    return {{u"Application", 350}, {u"UL", 70}, {u"DL", 70}, {u"The last remote host", 250}};
}

std::vector<ColumnSpec> detailColumns() {
    return {{u"Local port", 70}, {u"UL", 70},           {u"DL", 70},
            {u"Remote IP", 150}, {u"Remote port", 90}, {u"Remote hostname", 300}};
}

AppIconKind defaultIconKind(const std::u16string& name) {
    return name.find(u"protocol") != std::u16string::npos ? AppIconKind::Protocol : AppIconKind::Generic;
}

}  // namespace

std::u16string portCellText(const std::u16string& protocolTag, std::uint16_t port) {
    if (protocolTag == u"-") return u"-";
    return protocolTag + decimalU16(std::uint64_t(port));
}

MainLists::MainLists(std::shared_ptr<RecordsState> records)
    : m_records(std::move(records)), m_applications(applicationColumns()), m_details(detailColumns()),
      m_iconChooser(defaultIconKind) {}

void MainLists::RefreshApplications() {
    std::vector<std::vector<std::u16string>> newRows;
    std::vector<int> newImages;
    {
        const std::scoped_lock guard(m_records->RecordsLock);
        for (const AppRecord& app : m_records->table.records()) {
            const auto it = m_rowByName.find(app.name);
            if (it != m_rowByName.end()) {
                m_applications.setText(it->second, 1, FormatByteCount(app.ulBytes));
                m_applications.setText(it->second, 2, FormatByteCount(app.dlBytes));
                m_applications.setText(it->second, 3, app.lastRemoteHost);
                continue;
            }
            m_imageKinds.push_back(m_iconChooser(app.name));
            // Each new row is inserted at the top, so the batch is built back to front.
            newRows.push_back({app.name, FormatByteCount(app.ulBytes), FormatByteCount(app.dlBytes),
                               app.lastRemoteHost});
            newImages.push_back(int(m_imageKinds.size()) - 1);
        }
    }
    m_applications.flushChanges();
    if (newRows.empty()) return;
    std::reverse(newRows.begin(), newRows.end());
    std::reverse(newImages.begin(), newImages.end());
    m_applications.insertRows(0, std::move(newRows), newImages);
    rebuildNameIndex();
}

void MainLists::FillDetails() {
    m_details.deleteAllRows();
    const auto selected = m_applications.selectedRow();
    if (!selected) return;
    const std::u16string name = m_applications.text(*selected, 0);
    std::vector<std::vector<std::u16string>> rows;
    {
        const std::scoped_lock guard(m_records->RecordsLock);
        const AppTable& table = m_records->table;
        const std::size_t index = table.findApp(name);
        if (index == AppTable::npos) return;
        const auto& endpoints = table.app(index).endpoints;
        rows.reserve(endpoints.size());
        // Each endpoint is inserted at the top, so the newest ends up first.
        for (auto it = endpoints.rbegin(); it != endpoints.rend(); ++it) {
            rows.push_back({portCellText(it->protocolTag, it->localPort), FormatByteCount(it->ulBytes),
                            FormatByteCount(it->dlBytes), it->remoteIpText,
                            portCellText(it->protocolTag, it->remotePort), it->remoteHostName});
        }
    }
    m_details.insertRows(0, std::move(rows), {});
}

void MainLists::SelectApplicationRow(std::size_t row) {
    m_applications.setSelectedRow(row);
    FillDetails();
}

void MainLists::sortApplications(std::size_t column) {
    SortState = int(column);
    m_applications.sortByColumn(column);
    rebuildNameIndex();
}

void MainLists::sortDetails(std::size_t column) {
    SortState = int(column);
    m_details.sortByColumn(column);
}

void MainLists::deleteAllRows() {
    m_applications.deleteAllRows();
    m_details.deleteAllRows();
    m_rowByName.clear();
}

void MainLists::rebuildNameIndex() {
    m_rowByName.clear();
    m_rowByName.reserve(m_applications.rowCount());
    for (std::size_t row = 0; row < m_applications.rowCount(); ++row) m_rowByName.emplace(m_applications.text(row, 0), row);
}

}  // namespace sondrel
