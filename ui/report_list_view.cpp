#include "ui/report_list_view.h"

#include <QHeaderView>
#include <QMouseEvent>

namespace sondrel {

ReportListView::ReportListView(QWidget* parent) : QTreeView(parent) {
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);
    setIconSize(QSize(16, 16));
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    header()->setSectionsClickable(true);
    header()->setSortIndicatorShown(false);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    connect(header(), &QHeaderView::sectionClicked, this, &ReportListView::headerClicked);
}

void ReportListView::setAdapter(ListModelAdapter* adapter) {
    if (m_adapter) disconnect(m_adapter, nullptr, this, nullptr);
    m_adapter = adapter;
    setModel(adapter);
    if (!adapter) return;
    const auto& columns = adapter->list().columns();
    for (std::size_t column = 0; column < columns.size(); ++column)
        header()->resizeSection(int(column), columns[column].width);
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, &ReportListView::viewSelectionChanged);
    connect(adapter, &ListModelAdapter::selectedRowChanged, this, &ReportListView::listSelectionChanged);
    listSelectionChanged();
}

void ReportListView::viewSelectionChanged() {
    if (m_syncing || !m_adapter) return;
    const QModelIndexList rows = selectionModel()->selectedRows();
    m_syncing = true;
    m_adapter->list().setSelectedRow(rows.isEmpty() ? std::nullopt : std::optional<std::size_t>(rows.front().row()));
    m_syncing = false;
}

void ReportListView::listSelectionChanged() {
    if (m_syncing || !m_adapter) return;
    m_syncing = true;
    if (const auto row = m_adapter->list().selectedRow()) {
        const QModelIndex index = m_adapter->index(int(*row), 0);
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    } else {
        selectionModel()->clearSelection();
    }
    m_syncing = false;
}

void ReportListView::mousePressEvent(QMouseEvent* event) {
    m_leftPressed = event->button() == Qt::LeftButton;
    QTreeView::mousePressEvent(event);
}

void ReportListView::mouseReleaseEvent(QMouseEvent* event) {
    QTreeView::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && m_leftPressed) {
        m_leftPressed = false;
        emit listClicked();
    }
}

}  // namespace sondrel
