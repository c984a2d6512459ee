#include "ui/list_model_adapter.h"

#include <unordered_map>

namespace sondrel {

ListModelAdapter::ListModelAdapter(ReportList& list, QObject* parent) : QAbstractTableModel(parent), m_list(list) {
    m_list.setObserver(this);
}

ListModelAdapter::~ListModelAdapter() { m_list.setObserver(nullptr); }

int ListModelAdapter::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_list.rowCount());
}

int ListModelAdapter::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_list.columns().size());
}

QVariant ListModelAdapter::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) return {};
    const auto row = std::size_t(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromStdU16String(m_list.text(row, std::size_t(index.column())));
    case Qt::DecorationRole:
        if (index.column() == 0 && m_images && m_list.image(row) >= 0) {
            const QIcon icon = m_images(m_list.image(row));
            if (!icon.isNull()) return icon;
        }
        return {};
    default:
        return {};
    }
}

QVariant ListModelAdapter::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
    if (role == Qt::DisplayRole) return QString::fromStdU16String(m_list.columns()[std::size_t(section)].title);
    if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    return {};
}

void ListModelAdapter::rowsAboutToBeInserted(std::size_t first, std::size_t last) {
    beginInsertRows({}, int(first), int(last));
}

void ListModelAdapter::rowsInserted() { endInsertRows(); }

void ListModelAdapter::aboutToRemoveAllRows() { beginResetModel(); }

void ListModelAdapter::allRowsRemoved() { endResetModel(); }

std::u16string ListModelAdapter::rowKey(std::size_t row) const {
    std::u16string key;
    for (std::size_t column = 0; column < m_list.columns().size(); ++column) {
        key += m_list.text(row, column);
        key += u'\0';
    }
    return key;
}

void ListModelAdapter::aboutToSort() {
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    m_sortPersistent = persistentIndexList();
    m_sortKeys.clear();
    m_sortKeys.reserve(std::size_t(m_sortPersistent.size()));
    for (const QModelIndex& index : m_sortPersistent) m_sortKeys.push_back(rowKey(std::size_t(index.row())));
}

void ListModelAdapter::sorted() {
    if (!m_sortPersistent.isEmpty()) {
        // Rows whose texts are all equal are interchangeable, so each old row
        // takes the next unclaimed new row with its texts.
        std::unordered_map<std::u16string, std::vector<int>> newRowsByKey;
        for (const std::u16string& key : m_sortKeys) newRowsByKey.emplace(key, std::vector<int>{});
        for (std::size_t row = 0; row < m_list.rowCount(); ++row) {
            const auto it = newRowsByKey.find(rowKey(row));
            if (it != newRowsByKey.end()) it->second.push_back(int(row));
        }
        std::unordered_map<int, int> newRowOfOldRow;
        std::unordered_map<std::u16string, std::size_t> claimed;
        QModelIndexList moved;
        moved.reserve(m_sortPersistent.size());
        for (qsizetype i = 0; i < m_sortPersistent.size(); ++i) {
            const QModelIndex& old = m_sortPersistent[i];
            auto found = newRowOfOldRow.find(old.row());
            if (found == newRowOfOldRow.end()) {
                const std::u16string& key = m_sortKeys[std::size_t(i)];
                const std::vector<int>& candidates = newRowsByKey[key];
                std::size_t& next = claimed[key];
                const int newRow = next < candidates.size() ? candidates[next++] : -1;
                found = newRowOfOldRow.emplace(old.row(), newRow).first;
            }
            moved.push_back(found->second < 0 ? QModelIndex() : index(found->second, old.column()));
        }
        changePersistentIndexList(m_sortPersistent, moved);
    }
    m_sortPersistent.clear();
    m_sortKeys.clear();
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void ListModelAdapter::cellsChanged(std::size_t firstRow, std::size_t lastRow) {
    const int rows = rowCount();
    if (rows == 0 || columnCount() == 0) return;
    const int first = std::min(int(firstRow), rows - 1);
    const int last = std::min(int(lastRow), rows - 1);
    emit dataChanged(index(first, 0), index(last, columnCount() - 1), {Qt::DisplayRole});
}

void ListModelAdapter::selectionChanged() { emit selectedRowChanged(); }

}  // namespace sondrel
