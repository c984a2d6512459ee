#include "ui/report_list_view.h"

#include <algorithm>

#include <QHeaderView>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionViewItem>

#include "ui/column_widths.h"

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
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, &ReportListView::viewSelectionChanged);
    connect(adapter, &ListModelAdapter::selectedRowChanged, this, &ReportListView::listSelectionChanged);
    listSelectionChanged();
}

// Fixed pixel widths cut "TCP:65535" or "9999 MB/s" as soon as the font or the
// dpi grows, so a column is never narrower than its title and its widest text
// as this style draws them; the intended widths only share out the rest.
void ReportListView::fitColumns(int listWidth, double widthScale) {
    if (!m_adapter) return;
    ensurePolished();
    QStyleOptionViewItem base;
    initViewItemOption(&base);
    base.features |= QStyleOptionViewItem::HasDisplay;
    const auto& columns = m_adapter->list().columns();
    std::vector<ColumnNeed> needs;
    for (std::size_t column = 0; column < columns.size(); ++column) {
        const ColumnSpec& wanted = columns[column];
        ColumnNeed need{header()->sectionSizeHint(int(column)), int(wanted.width * widthScale), wanted.widest.empty()};
        for (const std::u16string& text : wanted.widest) {
            QStyleOptionViewItem option = base;
            option.text = QString::fromStdU16String(text);
            need.least = std::max(need.least, style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, {}, this).width());
        }
        needs.push_back(need);
    }
    const int available = listWidth - 2 * frameWidth() - verticalScrollBar()->sizeHint().width();
    const std::vector<int> widths = fitColumnWidths(needs, available);
    for (std::size_t column = 0; column < widths.size(); ++column) header()->resizeSection(int(column), widths[column]);
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
