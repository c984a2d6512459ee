#include "ui/history_tables.h"

#include <algorithm>
#include <numeric>

#include "base/text.h"
#include "engine/main_lists.h"

namespace sondrel {

namespace {

QString bytesText(std::uint64_t bytes) { return QString::fromStdU16String(FormatByteCount(bytes)); }

QString exactBytes(std::uint64_t bytes) { return QString::number(bytes) + QStringLiteral(" bytes"); }

// Case-blind first, so "firefox" sits by "Firefox"; code units decide the rest.
bool textLess(const std::u16string& a, const std::u16string& b) {
    const int blind = QString::fromStdU16String(a).compare(QString::fromStdU16String(b), Qt::CaseInsensitive);
    return blind != 0 ? blind < 0 : a < b;
}

template <typename Row>
bool numberLess(const Row& a, const Row& b, int column, int ulColumn, int dlColumn) {
    const auto value = [&](const Row& row) {
        if (column == ulColumn) return row.ulBytes;
        if (column == dlColumn) return row.dlBytes;
        return row.ulBytes + row.dlBytes;
    };
    return value(a) < value(b);
}

template <typename Row>
void applyOrder(std::vector<Row>& rows, const std::vector<std::size_t>& order) {
    std::vector<Row> sorted;
    sorted.reserve(rows.size());
    for (const std::size_t i : order) sorted.push_back(std::move(rows[i]));
    rows = std::move(sorted);
}

QVariant numberAlignment() { return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter)); }

}  // namespace

QString singleLineName(const std::u16string& name) {
    // The rows' names are visible already; a file written before they were is not.
    return QString::fromStdU16String(visibleText(name));
}

QString shareText(std::uint64_t part, std::uint64_t whole) {
    const double percent = whole == 0 ? 0.0 : double(part) * 100.0 / double(whole);
    return QString::number(percent, 'f', 1) + QStringLiteral(" %");
}

void SortedTotalsModel::sort(int column, Qt::SortOrder order) {
    if (column < 0 || column >= columnCount()) return;
    m_sortColumn = column;
    m_sortOrder = order;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const std::vector<std::size_t> newOrder = sortedOrder();
    std::vector<int> newRowOf(newOrder.size());
    for (std::size_t i = 0; i < newOrder.size(); ++i) newRowOf[newOrder[i]] = int(i);
    reorder(newOrder);
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& index : before)
        after.append(this->index(newRowOf[std::size_t(index.row())], index.column()));
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

std::vector<std::size_t> SortedTotalsModel::sortedOrder() const {
    std::vector<std::size_t> order(storedRows());
    std::iota(order.begin(), order.end(), std::size_t(0));
    if (m_sortColumn < 0) return order;
    const bool ascending = m_sortOrder == Qt::AscendingOrder;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return ascending ? less(a, b, m_sortColumn) : less(b, a, m_sortColumn);
    });
    return order;
}

void SortedTotalsModel::sortStored() {
    if (m_sortColumn >= 0) reorder(sortedOrder());
}

QVariant SortedTotalsModel::numberHeader(int section, const QString& title, Qt::Orientation orientation,
                                         int role) const {
    if (orientation != Qt::Horizontal) return {};
    if (role == Qt::DisplayRole) return title;
    if (role == Qt::InitialSortOrderRole)
        return isNumberColumn(section) ? Qt::DescendingOrder : Qt::AscendingOrder;
    if (role == Qt::TextAlignmentRole && isNumberColumn(section)) return numberAlignment();
    return {};
}

ApplicationTotalsModel::ApplicationTotalsModel(QObject* parent) : SortedTotalsModel(parent) {}

void ApplicationTotalsModel::setRows(std::vector<ApplicationTotal> rows) {
    beginResetModel();
    m_rows = std::move(rows);
    m_ul = 0;
    m_dl = 0;
    for (const ApplicationTotal& row : m_rows) {
        m_ul += row.ulBytes;
        m_dl += row.dlBytes;
    }
    sortStored();
    endResetModel();
}

int ApplicationTotalsModel::rowOf(const std::u16string& name) const {
    const auto it = std::find_if(m_rows.begin(), m_rows.end(), [&](const ApplicationTotal& row) { return row.name == name; });
    return it == m_rows.end() ? -1 : int(it - m_rows.begin());
}

int ApplicationTotalsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
}

int ApplicationTotalsModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant ApplicationTotalsModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) return {};
    const ApplicationTotal& row = m_rows[std::size_t(index.row())];
    const std::uint64_t total = row.ulBytes + row.dlBytes;
    const std::uint64_t bytes = index.column() == Ul ? row.ulBytes : index.column() == Dl ? row.dlBytes : total;
    switch (role) {
    case Qt::DisplayRole:
        if (index.column() == Name) return singleLineName(row.name);
        if (index.column() == Share) return shareText(total, m_ul + m_dl);
        return bytesText(bytes);
    case Qt::ToolTipRole:
        if (index.column() == Name) return singleLineName(row.name);
        if (index.column() == Share) return {};
        return exactBytes(bytes);
    case Qt::TextAlignmentRole:
        return index.column() == Name ? QVariant() : numberAlignment();
    default:
        return {};
    }
}

QVariant ApplicationTotalsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const kTitles[ColumnCount] = {"Application", "UL", "DL", "Total", "Share"};
    if (section < 0 || section >= ColumnCount) return {};
    return numberHeader(section, QString::fromLatin1(kTitles[section]), orientation, role);
}

bool ApplicationTotalsModel::less(std::size_t a, std::size_t b, int column) const {
    const ApplicationTotal& x = m_rows[a];
    const ApplicationTotal& y = m_rows[b];
    if (column != Name) {
        // The share is the total's: same order.
        const int valueColumn = column == Share ? Total : column;
        if (numberLess(x, y, valueColumn, Ul, Dl)) return true;
        if (numberLess(y, x, valueColumn, Ul, Dl)) return false;
    }
    return textLess(x.name, y.name);
}

void ApplicationTotalsModel::reorder(const std::vector<std::size_t>& order) { applyOrder(m_rows, order); }

EndpointTotalsModel::EndpointTotalsModel(QObject* parent) : SortedTotalsModel(parent) {}

void EndpointTotalsModel::setRows(std::vector<EndpointTotal> rows) {
    beginResetModel();
    m_rows = std::move(rows);
    sortStored();
    endResetModel();
}

int EndpointTotalsModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(m_rows.size()); }

int EndpointTotalsModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant EndpointTotalsModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) return {};
    const EndpointTotal& row = m_rows[std::size_t(index.row())];
    const int column = index.column();
    const std::uint64_t bytes = column == Ul ? row.ulBytes : column == Dl ? row.dlBytes : row.ulBytes + row.dlBytes;
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        if (column == Remote) return singleLineName(row.remote);
        if (column == HostName) return singleLineName(row.hostName);
        return role == Qt::DisplayRole ? bytesText(bytes) : exactBytes(bytes);
    case Qt::TextAlignmentRole:
        return column < Ul ? QVariant() : numberAlignment();
    default:
        return {};
    }
}

QVariant EndpointTotalsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const kTitles[ColumnCount] = {"Remote", "Host name", "UL", "DL", "Total"};
    if (section < 0 || section >= ColumnCount) return {};
    return numberHeader(section, QString::fromLatin1(kTitles[section]), orientation, role);
}

bool EndpointTotalsModel::less(std::size_t a, std::size_t b, int column) const {
    const EndpointTotal& x = m_rows[a];
    const EndpointTotal& y = m_rows[b];
    if (column == HostName) {
        if (textLess(x.hostName, y.hostName)) return true;
        if (textLess(y.hostName, x.hostName)) return false;
    } else if (column != Remote) {
        if (numberLess(x, y, column, Ul, Dl)) return true;
        if (numberLess(y, x, column, Ul, Dl)) return false;
    }
    return textLess(x.remote, y.remote);
}

void EndpointTotalsModel::reorder(const std::vector<std::size_t>& order) { applyOrder(m_rows, order); }

}  // namespace sondrel
