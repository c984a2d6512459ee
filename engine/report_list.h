#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace sondrel {

struct ColumnSpec {
    std::u16string title;
    // The intended width in pixels for an 8-point dialog font at 96 dpi; views
    // scale it with their font and never make a column narrower than its
    // widest text (see widest).
    int width = 0;
    // Byte counts and rates sort by ParseByteCount, largest first; other texts by code units.
    bool sortByValue = false;
    // The widest texts the column must show in full; empty for free text
    // (names, host names), which is what gives way when the list is narrow.
    std::vector<std::u16string> widest = {};
};

// Notified around every change of a ReportList, so a view adapter can tell its
// view about inserted rows, changed cells and sorts without resetting itself.
class ReportListObserver {
public:
    virtual ~ReportListObserver() = default;
    virtual void rowsAboutToBeInserted(std::size_t first, std::size_t last) = 0;
    virtual void rowsInserted() = 0;
    virtual void aboutToRemoveAllRows() = 0;
    virtual void allRowsRemoved() = 0;
    virtual void aboutToSort() = 0;
    virtual void sorted() = 0;
    virtual void cellsChanged(std::size_t firstRow, std::size_t lastRow) = 0;
    virtual void selectionChanged() = 0;
};

// A report-style list: rows of cell texts with an image index and one optional
// selected row. It is what the user sees and what the reports read.
class ReportList {
public:
    explicit ReportList(std::vector<ColumnSpec> columns);

    const std::vector<ColumnSpec>& columns() const { return m_columns; }
    std::size_t rowCount() const { return m_rows.size(); }
    const std::u16string& text(std::size_t row, std::size_t column) const { return m_rows[row].cells[column]; }
    int image(std::size_t row) const { return m_rows[row].image; }
    // What the row stands for, as its owner set it (a record's index); moves with the row.
    std::size_t tag(std::size_t row) const { return m_rows[row].tag; }

    // Inserts a row at `position` with its first cell and image; other cells empty.
    void insertRow(std::size_t position, std::u16string firstCell, int image = -1);
    // Inserts several rows at `position` in one notification; rows[0] ends up at `position`.
    void insertRows(std::size_t position, std::vector<std::vector<std::u16string>> rows, const std::vector<int>& images,
                    const std::vector<std::size_t>& tags = {});
    // Changes a cell; views learn of it at the next flushChanges().
    void setText(std::size_t row, std::size_t column, std::u16string text);
    // One merged change notification for every setText since the last flush.
    void flushChanges();
    void deleteAllRows();

    std::optional<std::size_t> selectedRow() const { return m_selected; }
    void setSelectedRow(std::optional<std::size_t> row);

    // Sorts the rows by column `column`: columns marked sortByValue by
    // ParseByteCount, largest first; every other column by UTF-16 code units,
    // smallest first.
    // Rows that compare equal keep no guaranteed order. The selection follows its row.
    void sortByColumn(std::size_t column);

    void setObserver(ReportListObserver* observer) { m_observer = observer; }

private:
    struct Row {
        std::vector<std::u16string> cells;
        int image = -1;
        std::size_t tag = 0;
    };

    std::vector<ColumnSpec> m_columns;
    std::vector<Row> m_rows;
    std::optional<std::size_t> m_selected;
    std::size_t m_dirtyFirst = 0;
    std::size_t m_dirtyLast = 0;
    bool m_dirty = false;
    ReportListObserver* m_observer = nullptr;
};

}  // namespace sondrel
