#include "engine/report_list.h"

#include <algorithm>
#include <numeric>

#include "engine/main_lists.h"

namespace sondrel {

ReportList::ReportList(std::vector<ColumnSpec> columns) : m_columns(std::move(columns)) {}

void ReportList::insertRow(std::size_t position, std::u16string firstCell, int image) {
    std::vector<std::u16string> cells(m_columns.size());
    cells[0] = std::move(firstCell);
    std::vector<std::vector<std::u16string>> rows;
    rows.push_back(std::move(cells));
    insertRows(position, std::move(rows), {image});
}

void ReportList::insertRows(std::size_t position, std::vector<std::vector<std::u16string>> rows,
                            const std::vector<int>& images, const std::vector<std::size_t>& tags) {
    if (rows.empty()) return;
    position = std::min(position, m_rows.size());
    const std::size_t count = rows.size();
    if (m_observer) m_observer->rowsAboutToBeInserted(position, position + count - 1);
    std::vector<Row> fresh(count);
    for (std::size_t i = 0; i < count; ++i) {
        rows[i].resize(m_columns.size());
        fresh[i].cells = std::move(rows[i]);
        fresh[i].image = i < images.size() ? images[i] : -1;
        fresh[i].tag = i < tags.size() ? tags[i] : 0;
    }
    m_rows.insert(m_rows.begin() + std::ptrdiff_t(position), std::make_move_iterator(fresh.begin()),
                  std::make_move_iterator(fresh.end()));
    if (m_selected && *m_selected >= position) *m_selected += count;
    if (m_dirty) {
        if (m_dirtyFirst >= position) m_dirtyFirst += count;
        if (m_dirtyLast >= position) m_dirtyLast += count;
    }
    if (m_observer) m_observer->rowsInserted();
}

void ReportList::setText(std::size_t row, std::size_t column, std::u16string text) {
    std::u16string& cell = m_rows[row].cells[column];
    if (cell == text) return;
    cell = std::move(text);
    if (!m_dirty) {
        m_dirty = true;
        m_dirtyFirst = m_dirtyLast = row;
    } else {
        m_dirtyFirst = std::min(m_dirtyFirst, row);
        m_dirtyLast = std::max(m_dirtyLast, row);
    }
}

void ReportList::flushChanges() {
    if (!m_dirty) return;
    m_dirty = false;
    if (m_observer) m_observer->cellsChanged(m_dirtyFirst, m_dirtyLast);
}

void ReportList::deleteAllRows() {
    if (m_observer) m_observer->aboutToRemoveAllRows();
    m_rows.clear();
    m_selected.reset();
    m_dirty = false;
    if (m_observer) m_observer->allRowsRemoved();
}

void ReportList::setSelectedRow(std::optional<std::size_t> row) {
    if (row && *row >= m_rows.size()) row.reset();
    if (row == m_selected) return;
    m_selected = row;
    if (m_observer) m_observer->selectionChanged();
}

void ReportList::sortByColumn(std::size_t column) {
    if (column >= m_columns.size()) return;
    flushChanges();
    if (m_observer) m_observer->aboutToSort();
    std::vector<std::size_t> order(m_rows.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    if (m_columns[column].sortByValue) {
        std::vector<std::uint64_t> keys(m_rows.size());
        for (std::size_t i = 0; i < m_rows.size(); ++i)
            keys[i] = std::uint64_t(ParseByteCount(m_rows[i].cells[column]));
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a] > keys[b]; });
    } else {
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return m_rows[a].cells[column] < m_rows[b].cells[column];
        });
    }
    std::vector<Row> sorted;
    sorted.reserve(m_rows.size());
    std::optional<std::size_t> selected;
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (m_selected && order[i] == *m_selected) selected = i;
        sorted.push_back(std::move(m_rows[order[i]]));
    }
    m_rows = std::move(sorted);
    m_selected = selected;
    if (m_observer) m_observer->sorted();
}

}  // namespace sondrel
