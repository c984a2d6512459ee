#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QPersistentModelIndex>
#include <functional>
#include <string>
#include <vector>

#include "engine/report_list.h"

namespace sondrel {

// The icon of an image index of a ReportList row; a null icon draws nothing.
using ImageSource = std::function<QIcon(int image)>;

// Shows a ReportList to a Qt view. The list stays the one source of truth
// (the reports read it); this adapter only forwards its notifications, so a
// view keeps its selection and scroll position across ticks: inserted rows
// arrive as row inserts, a tick's cell changes as one dataChanged, a sort as
// a layout change, and only deleting every row resets the model.
class ListModelAdapter final : public QAbstractTableModel, private ReportListObserver {
    Q_OBJECT

public:
    explicit ListModelAdapter(ReportList& list, QObject* parent = nullptr);
    ~ListModelAdapter() override;

    ListModelAdapter(const ListModelAdapter&) = delete;
    ListModelAdapter& operator=(const ListModelAdapter&) = delete;

    ReportList& list() { return m_list; }
    void setImageSource(ImageSource images) { m_images = std::move(images); }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

signals:
    // The list's selected row changed (a sort or an insert moving it does not count).
    void selectedRowChanged();

private:
    void rowsAboutToBeInserted(std::size_t first, std::size_t last) override;
    void rowsInserted() override;
    void aboutToRemoveAllRows() override;
    void allRowsRemoved() override;
    void aboutToSort() override;
    void sorted() override;
    void cellsChanged(std::size_t firstRow, std::size_t lastRow) override;
    void selectionChanged() override;

    std::u16string rowKey(std::size_t row) const;

    ReportList& m_list;
    ImageSource m_images;
    // Held between aboutToSort and sorted: the persistent indexes a view keeps
    // (its selection, current and hover items) and the texts of their rows, by
    // which each is found again after the rows have moved.
    QModelIndexList m_sortPersistent;
    std::vector<std::u16string> m_sortKeys;
};

}  // namespace sondrel
