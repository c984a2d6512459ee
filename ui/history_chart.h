#pragma once

#include <QColor>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "history/history_view.h"

namespace sondrel {

// Bytes by day over a range, painted by hand: one slot per day, DL at the
// bottom with UL stacked on it, scaled to the largest day, whose value labels
// the axis. A day without bytes is an empty slot. A bar's tooltip gives its
// date and both counts.
class HistoryChart final : public QWidget {
public:
    explicit HistoryChart(QWidget* parent = nullptr);

    // Days outside the range are left out; `subject` names whose bytes they are.
    void setDays(const HistoryRange& range, const std::vector<DayTotal>& days, QString subject);

    // One entry per day of the range, in day order, zero where nothing was counted.
    const std::vector<DayTotal>& bars() const { return m_bars; }
    // UL + DL of the largest day.
    std::uint64_t peak() const { return m_peak; }
    const QString& subject() const { return m_subject; }
    // The slot under a point of the widget; -1 outside the plot.
    int barAt(QPoint point) const;
    QString barToolTip(int bar) const;

    QColor ulColour() const;
    QColor dlColour() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QRect plotRect() const;

    std::vector<DayTotal> m_bars;
    std::uint64_t m_peak = 0;
    QString m_subject;
};

}  // namespace sondrel
