#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "engine/rate_meter.h"
#include "engine/records.h"
#include "engine/report_list.h"
#include "engine/traffic_history.h"
#include "base/clock.h"

namespace sondrel {

// Images of the Applications list. Index 0 and 1 are not fixed: the chooser
// returns what the view's image list should append for a new row.
enum class AppIconKind { Generic, Protocol, Associated };

// Chooses the icon of a new Applications row from its name. The Qt layer
// supplies one that looks up desktop entries; the default gives Protocol for a
// name containing "protocol", else Generic.
using AppIconChooser = std::function<AppIconKind(const std::u16string& name)>;

// The two lists of the main window with their refresh, fill and sort rules.
// Both lists end with two rate columns, "UL/s" and "DL/s", which the reports
// do not read.
class MainLists {
public:
    // Rates are measured on `clock`; null: the steady clock.
    explicit MainLists(std::shared_ptr<RecordsState> records, std::shared_ptr<const MonotonicClock> clock = nullptr);

    ReportList& applications() { return m_applications; }
    ReportList& details() { return m_details; }
    const ReportList& applications() const { return m_applications; }
    const ReportList& details() const { return m_details; }

    // Last clicked column of either list (also set by the CSV reports).
    int SortState = 0;

    // Every tick: takes the rates and the graph's point, then existing rows
    // (found by name) get new texts and new applications enter at the top.
    // While the application that Details was filled for stays selected, its
    // Details rows get new texts the same way and its new endpoints enter at
    // the top. Takes RecordsLock.
    void RefreshApplications();
    // Clears the Details list and fills it for the selected application,
    // which Details then follows. Takes RecordsLock.
    void FillDetails();
    // Selects one Applications row and fills the Details list for it.
    void SelectApplicationRow(std::size_t row);
    // Column click on either list: SortState := column, then sort that list.
    void sortApplications(std::size_t column);
    void sortDetails(std::size_t column);
    // Deletes every row of both lists and starts the rates again, after the
    // table has been emptied (the caller holds RecordsLock).
    void deleteAllRows();

    const RateMeter& rates() const { return m_rates; }
    const TrafficHistory& history() const { return m_history; }
    // Table index of the application selected in the Applications list.
    std::optional<std::size_t> selectedApplication() const;

    void setIconChooser(AppIconChooser chooser) { m_iconChooser = std::move(chooser); }
    // Image index of each Applications row refers to the icon appended for it;
    // this is the kind of each appended image, in append order (never shrinks).
    const std::vector<AppIconKind>& imageKinds() const { return m_imageKinds; }

private:
    void rebuildNameIndex();
    void rebuildDetailsIndex();
    std::vector<std::u16string> detailCells(std::size_t app, std::size_t endpoint, const EndpointRecord& record) const;
    // The interface's name, or its index when no name is known; under RecordsLock.
    std::u16string interfaceText(std::uint32_t index) const;
    // Under RecordsLock: new texts for the followed application's Details
    // rows; its endpoints without a row yet go into newRows, newest first.
    void refreshDetailRows(const AppTable& table, std::vector<std::vector<std::u16string>>& newRows,
                           std::vector<std::size_t>& newTags);

    std::shared_ptr<RecordsState> m_records;
    std::shared_ptr<const MonotonicClock> m_clock;
    RateMeter m_rates;
    TrafficHistory m_history;
    ReportList m_applications;
    ReportList m_details;
    std::unordered_map<std::u16string, std::size_t> m_rowByName;
    // The application whose endpoints Details shows (table index, or npos),
    // and the Details row of each of its endpoints, by endpoint index.
    std::size_t m_detailsApp = AppTable::npos;
    std::vector<std::size_t> m_detailsRowOf;
    AppIconChooser m_iconChooser;
    std::vector<AppIconKind> m_imageKinds;
};

// "%u B", "%u KB", "%u MB", "%u GB"; "GB" stands for 2^40 bytes.
std::u16string FormatByteCount(std::uint64_t count);
// Leading signed 32-bit decimal times the unit found anywhere in the text.
std::int64_t ParseByteCount(std::u16string_view text);

// Column texts of a Details row.
std::u16string portCellText(const std::u16string& protocolTag, std::uint16_t port);

}  // namespace sondrel
