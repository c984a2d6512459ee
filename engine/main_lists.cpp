#include "engine/main_lists.h"

#include <algorithm>

#include "base/text.h"
#include "engine/list_columns.h"

namespace sondrel {

namespace {

AppIconKind defaultIconKind(const std::u16string& name) {
    return name.find(u"protocol") != std::u16string::npos ? AppIconKind::Protocol : AppIconKind::Generic;
}

}  // namespace

std::u16string portCellText(const std::u16string& protocolTag, std::uint16_t port) {
    if (protocolTag == u"-") return u"-";
    return protocolTag + decimalU16(std::uint64_t(port));
}

MainLists::MainLists(std::shared_ptr<RecordsState> records, std::shared_ptr<const MonotonicClock> clock)
    : m_records(std::move(records)), m_clock(clock ? std::move(clock) : std::make_shared<SteadyClock>()),
      m_rates(m_clock->nanoseconds()), m_applications(applicationColumns()), m_details(detailColumns()),
      m_iconChooser(defaultIconKind) {}

void MainLists::RefreshApplications() {
    std::vector<std::vector<std::u16string>> newRows;
    std::vector<int> newImages;
    std::vector<std::size_t> newTags;
    std::vector<std::vector<std::u16string>> newDetailRows;
    std::vector<std::size_t> newDetailTags;
    {
        const std::scoped_lock guard(m_records->RecordsLock);
        const AppTable& table = m_records->table;
        m_rates.sample(table, m_clock->nanoseconds());
        m_history.append(m_rates);
        const auto& records = table.records();
        for (std::size_t i = 0; i < records.size(); ++i) {
            const AppRecord& app = records[i];
            const ByteRate rate = m_rates.applicationRate(i);
            const auto it = m_rowByName.find(app.name);
            if (it != m_rowByName.end()) {
                m_applications.setText(it->second, AppUl, FormatByteCount(app.ulBytes));
                m_applications.setText(it->second, AppDl, FormatByteCount(app.dlBytes));
                m_applications.setText(it->second, AppLastHost, app.lastRemoteHost);
                m_applications.setText(it->second, AppUlRate, FormatByteRate(rate.ul));
                m_applications.setText(it->second, AppDlRate, FormatByteRate(rate.dl));
                continue;
            }
            m_imageKinds.push_back(m_iconChooser(app.name));
            // Each new row is inserted at the top, so the batch is built back to front.
            newRows.push_back({app.name, FormatByteCount(app.ulBytes), FormatByteCount(app.dlBytes),
                               app.lastRemoteHost, FormatByteRate(rate.ul), FormatByteRate(rate.dl)});
            newImages.push_back(int(m_imageKinds.size()) - 1);
            newTags.push_back(i);
        }
        refreshDetailRows(table, newDetailRows, newDetailTags);
    }
    m_applications.flushChanges();
    if (!newRows.empty()) {
        std::reverse(newRows.begin(), newRows.end());
        std::reverse(newImages.begin(), newImages.end());
        std::reverse(newTags.begin(), newTags.end());
        m_applications.insertRows(0, std::move(newRows), newImages, newTags);
        rebuildNameIndex();
    }
    m_details.flushChanges();
    if (!newDetailRows.empty()) {
        m_details.insertRows(0, std::move(newDetailRows), {}, newDetailTags);
        rebuildDetailsIndex();
    }
}

void MainLists::refreshDetailRows(const AppTable& table, std::vector<std::vector<std::u16string>>& newRows,
                                  std::vector<std::size_t>& newTags) {
    const auto selected = m_applications.selectedRow();
    if (m_detailsApp >= table.size() || !selected || m_applications.tag(*selected) != m_detailsApp) return;
    const std::vector<EndpointRecord>& endpoints = table.app(m_detailsApp).endpoints;
    const std::size_t shown = std::min(m_detailsRowOf.size(), endpoints.size());
    for (std::size_t j = 0; j < shown; ++j) {
        const std::size_t row = m_detailsRowOf[j];
        if (row == AppTable::npos) continue;
        const EndpointRecord& endpoint = endpoints[j];
        const ByteRate rate = m_rates.endpointRate(m_detailsApp, j);
        // The port and address cells name the endpoint and never change.
        m_details.setText(row, DetailUl, FormatByteCount(endpoint.ulBytes));
        m_details.setText(row, DetailDl, FormatByteCount(endpoint.dlBytes));
        m_details.setText(row, DetailRemoteHostName, endpoint.remoteHostName);
        m_details.setText(row, DetailUlRate, FormatByteRate(rate.ul));
        m_details.setText(row, DetailDlRate, FormatByteRate(rate.dl));
        m_details.setText(row, DetailInterface, interfaceText(endpoint.interfaceIndex));
    }
    // As in the fill, the newest endpoint ends up first.
    for (std::size_t j = endpoints.size(); j-- > m_detailsRowOf.size();) {
        newRows.push_back(detailCells(m_detailsApp, j, endpoints[j]));
        newTags.push_back(j);
    }
}

std::vector<std::u16string> MainLists::detailCells(std::size_t app, std::size_t endpoint,
                                                   const EndpointRecord& record) const {
    const ByteRate rate = m_rates.endpointRate(app, endpoint);
    return {portCellText(record.protocolTag, record.localPort), FormatByteCount(record.ulBytes),
            FormatByteCount(record.dlBytes), record.remoteIpText,
            portCellText(record.protocolTag, record.remotePort), record.remoteHostName,
            FormatByteRate(rate.ul), FormatByteRate(rate.dl), interfaceText(record.interfaceIndex)};
}

std::u16string MainLists::interfaceText(std::uint32_t index) const {
    if (index == 0) return {};
    const auto it = m_records->interfaceNames.find(index);
    if (it != m_records->interfaceNames.end()) return it->second;
    return u"#" + utf8ToU16(std::to_string(index));
}

void MainLists::FillDetails() {
    m_details.deleteAllRows();
    m_detailsApp = AppTable::npos;
    m_detailsRowOf.clear();
    const auto selected = m_applications.selectedRow();
    if (!selected) return;
    const std::u16string name = m_applications.text(*selected, AppName);
    std::vector<std::vector<std::u16string>> rows;
    std::vector<std::size_t> tags;
    {
        const std::scoped_lock guard(m_records->RecordsLock);
        const AppTable& table = m_records->table;
        const std::size_t index = table.findApp(name);
        if (index == AppTable::npos) return;
        const auto& endpoints = table.app(index).endpoints;
        rows.reserve(endpoints.size());
        tags.reserve(endpoints.size());
        // Each endpoint is inserted at the top, so the newest ends up first.
        for (std::size_t j = endpoints.size(); j-- > 0;) {
            rows.push_back(detailCells(index, j, endpoints[j]));
            tags.push_back(j);
        }
        m_detailsApp = index;
    }
    m_details.insertRows(0, std::move(rows), {}, tags);
    rebuildDetailsIndex();
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
    rebuildDetailsIndex();
}

void MainLists::deleteAllRows() {
    m_applications.deleteAllRows();
    m_details.deleteAllRows();
    m_rowByName.clear();
    m_detailsApp = AppTable::npos;
    m_detailsRowOf.clear();
    m_rates.restart(m_records->table, m_clock->nanoseconds());
}

std::optional<std::size_t> MainLists::selectedApplication() const {
    const auto row = m_applications.selectedRow();
    if (!row) return std::nullopt;
    return m_applications.tag(*row);
}

void MainLists::rebuildNameIndex() {
    m_rowByName.clear();
    m_rowByName.reserve(m_applications.rowCount());
    for (std::size_t row = 0; row < m_applications.rowCount(); ++row) m_rowByName.emplace(m_applications.text(row, AppName), row);
}

void MainLists::rebuildDetailsIndex() {
    m_detailsRowOf.assign(m_details.rowCount(), AppTable::npos);
    for (std::size_t row = 0; row < m_details.rowCount(); ++row) {
        const std::size_t endpoint = m_details.tag(row);
        if (endpoint < m_detailsRowOf.size()) m_detailsRowOf[endpoint] = row;
    }
}

}  // namespace sondrel
