#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "history/history_view.h"

namespace sondrel {

// A name as one line of text, as visibleText shows it everywhere else: control
// characters, line breaks and the bidi marks, embeddings, overrides and
// isolates (which could run on past the name's end or reverse what follows)
// are written out as escapes.
QString singleLineName(const std::u16string& name);

// "12.3 %": part of whole, one decimal; 0 of nothing is "0.0 %".
QString shareText(std::uint64_t part, std::uint64_t whole);

// The rows of a history table in the order shown. A header click sorts:
// numbers largest first, names A to Z, the same column again the other way.
// Persistent indexes (a view's selection) follow their rows through a sort.
class SortedTotalsModel : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;

    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    int sortColumn() const { return m_sortColumn; }
    Qt::SortOrder sortOrder() const { return m_sortOrder; }

protected:
    // Which columns hold byte counts (sorted by value, largest first on the first click).
    virtual bool isNumberColumn(int column) const = 0;
    // Ascending order of stored rows a and b by column; ties decided by name.
    virtual bool less(std::size_t a, std::size_t b, int column) const = 0;
    // Stored rows reordered: the new row i is the old row order[i].
    virtual void reorder(const std::vector<std::size_t>& order) = 0;
    virtual std::size_t storedRows() const = 0;

    QVariant numberHeader(int section, const QString& title, Qt::Orientation orientation, int role) const;
    // Sorts without telling views; for use between beginResetModel and endResetModel.
    void sortStored();

private:
    std::vector<std::size_t> sortedOrder() const;

    int m_sortColumn = -1;
    Qt::SortOrder m_sortOrder = Qt::DescendingOrder;
};

// Applications of a range: name, UL, DL, total, share of the range's total.
class ApplicationTotalsModel final : public SortedTotalsModel {
public:
    enum Column { Name, Ul, Dl, Total, Share, ColumnCount };

    explicit ApplicationTotalsModel(QObject* parent = nullptr);

    // New rows, shown in the current sort order.
    void setRows(std::vector<ApplicationTotal> rows);
    const ApplicationTotal& at(int row) const { return m_rows[std::size_t(row)]; }
    // -1 when no row has that name.
    int rowOf(const std::u16string& name) const;
    std::uint64_t ulTotal() const { return m_ul; }
    std::uint64_t dlTotal() const { return m_dl; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    bool isNumberColumn(int column) const override { return column != Name; }
    bool less(std::size_t a, std::size_t b, int column) const override;
    void reorder(const std::vector<std::size_t>& order) override;
    std::size_t storedRows() const override { return m_rows.size(); }

    std::vector<ApplicationTotal> m_rows;
    std::uint64_t m_ul = 0;
    std::uint64_t m_dl = 0;
};

// The remote hosts of one application over a range.
class EndpointTotalsModel final : public SortedTotalsModel {
public:
    enum Column { Remote, HostName, Ul, Dl, Total, ColumnCount };

    explicit EndpointTotalsModel(QObject* parent = nullptr);

    void setRows(std::vector<EndpointTotal> rows);
    const EndpointTotal& at(int row) const { return m_rows[std::size_t(row)]; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    bool isNumberColumn(int column) const override { return column >= Ul; }
    bool less(std::size_t a, std::size_t b, int column) const override;
    void reorder(const std::vector<std::size_t>& order) override;
    std::size_t storedRows() const override { return m_rows.size(); }

    std::vector<EndpointTotal> m_rows;
};

}  // namespace sondrel
