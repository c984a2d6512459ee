#pragma once

#include <QTreeView>

#include "ui/list_model_adapter.h"

namespace sondrel {

// A report-style list over a ListModelAdapter: one selectable row at a time,
// whole rows, the columns and widths of the ReportList. The view never sorts
// by itself; a header click is handed on so the plain list model sorts, and
// the view's selection and the list's selected row follow each other.
class ReportListView final : public QTreeView {
    Q_OBJECT

public:
    explicit ReportListView(QWidget* parent = nullptr);

    void setAdapter(ListModelAdapter* adapter);
    ListModelAdapter* adapter() const { return m_adapter; }

    // Sizes the columns for a list `listWidth` pixels wide (frame included),
    // leaving room for the vertical scroll bar. `widthScale` turns the
    // columns' intended widths into pixels of this view's font. The user may
    // resize them afterwards.
    void fitColumns(int listWidth, double widthScale);

signals:
    // A left click anywhere on the rows' area, after the selection has moved.
    void listClicked();
    void headerClicked(int column);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void viewSelectionChanged();
    void listSelectionChanged();

    ListModelAdapter* m_adapter = nullptr;
    bool m_syncing = false;
    bool m_leftPressed = false;
};

}  // namespace sondrel
