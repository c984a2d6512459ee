#include "ui/history_chart.h"

#include <QDate>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>
#include <algorithm>

#include "engine/main_lists.h"
#include "ui/history_date.h"

namespace sondrel {

namespace {

constexpr int kPad = 4;

QString bytesText(std::uint64_t bytes) { return QString::fromStdU16String(FormatByteCount(bytes)); }

QColor mixed(const QColor& over, const QColor& under, double alpha) {
    return QColor::fromRgbF(float(over.redF() * alpha + under.redF() * (1 - alpha)),
                            float(over.greenF() * alpha + under.greenF() * (1 - alpha)),
                            float(over.blueF() * alpha + under.blueF() * (1 - alpha)));
}

QString dateText(HistoryDay day) { return historyDate(day).toString(Qt::ISODate); }

}  // namespace

HistoryChart::HistoryChart(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QSize HistoryChart::sizeHint() const { return {480, fontMetrics().height() * 9}; }

QSize HistoryChart::minimumSizeHint() const { return {160, fontMetrics().height() * 5}; }

void HistoryChart::setDays(const HistoryRange& range, const std::vector<DayTotal>& days, QString subject) {
    m_bars.clear();
    m_peak = 0;
    m_subject = std::move(subject);
    if (range.last >= range.first) {
        m_bars.resize(std::size_t(std::int64_t(range.last) - range.first + 1));
        for (std::size_t i = 0; i < m_bars.size(); ++i) m_bars[i].day = HistoryDay(range.first + std::int64_t(i));
        for (const DayTotal& day : days) {
            if (day.day < range.first || day.day > range.last) continue;
            DayTotal& bar = m_bars[std::size_t(std::int64_t(day.day) - range.first)];
            bar.ulBytes += day.ulBytes;
            bar.dlBytes += day.dlBytes;
        }
        for (const DayTotal& bar : m_bars) m_peak = std::max(m_peak, bar.ulBytes + bar.dlBytes);
    }
    update();
}

QColor HistoryChart::dlColour() const { return palette().color(QPalette::Highlight); }

QColor HistoryChart::ulColour() const { return mixed(dlColour(), palette().color(QPalette::Base), 0.45); }

QRect HistoryChart::plotRect() const {
    const int line = fontMetrics().height();
    return QRect(kPad, kPad + line, width() - 2 * kPad, height() - 2 * kPad - 2 * line);
}

int HistoryChart::barAt(QPoint point) const {
    const QRect plot = plotRect();
    if (m_bars.empty() || !plot.contains(point)) return -1;
    const double slot = double(plot.width()) / double(m_bars.size());
    return std::clamp(int(double(point.x() - plot.left()) / slot), 0, int(m_bars.size()) - 1);
}

QString HistoryChart::barToolTip(int bar) const {
    if (bar < 0 || std::size_t(bar) >= m_bars.size()) return {};
    const DayTotal& day = m_bars[std::size_t(bar)];
    return QStringLiteral("%1\nUL %2\nDL %3").arg(dateText(day.day), bytesText(day.ulBytes), bytesText(day.dlBytes));
}

bool HistoryChart::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QString tip = barToolTip(barAt(help->pos()));
        if (tip.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(help->globalPos(), tip, this);
        }
        return true;
    }
    return QWidget::event(event);
}

void HistoryChart::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPalette& colours = palette();
    const QFontMetrics metrics = fontMetrics();
    painter.fillRect(rect(), colours.color(QPalette::Base));
    painter.setPen(colours.color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));

    const QRect plot = plotRect();
    const int line = metrics.height();
    const QRect header(kPad, kPad, plot.width(), line);
    const QString legendUl = QStringLiteral("UL");
    const QString legendDl = QStringLiteral("DL");
    const int swatch = line / 2;
    const int gap = metrics.horizontalAdvance(QLatin1Char(' ')) * 2;
    const int dlWidth = swatch + gap / 2 + metrics.horizontalAdvance(legendDl);
    const int legendWidth = dlWidth + gap + swatch + gap / 2 + metrics.horizontalAdvance(legendUl);
    int x = header.right() - legendWidth;
    for (const auto& [text, colour] : {std::pair{legendUl, ulColour()}, std::pair{legendDl, dlColour()}}) {
        painter.fillRect(QRect(x, header.center().y() - swatch / 2, swatch, swatch), colour);
        x += swatch + gap / 2;
        painter.setPen(colours.color(QPalette::Text));
        painter.drawText(QRect(x, header.top(), metrics.horizontalAdvance(text), line), Qt::AlignVCenter, text);
        x += metrics.horizontalAdvance(text) + gap;
    }
    // The axis label: the largest day's bytes at the top of the scale.
    const QString top = m_peak == 0 ? QString() : bytesText(m_peak);
    const int topWidth = metrics.horizontalAdvance(top);
    painter.drawText(header, Qt::AlignLeft | Qt::AlignVCenter, top);
    const int titleWidth = header.width() - topWidth - legendWidth - 2 * gap;
    if (titleWidth > 0)
        painter.drawText(header.adjusted(topWidth + gap, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                         metrics.elidedText(m_subject, Qt::ElideMiddle, titleWidth));

    painter.setPen(colours.color(QPalette::Mid));
    painter.drawLine(plot.bottomLeft(), plot.bottomRight());
    painter.drawLine(plot.topLeft(), plot.topRight());
    if (m_bars.empty()) return;
    const double slot = double(plot.width()) / double(m_bars.size());
    // A gap between bars only where they are wide enough to keep one.
    const double barWidth = slot >= 4 ? slot * 0.8 : slot;
    const double scale = m_peak == 0 ? 0 : double(plot.height()) / double(m_peak);
    for (std::size_t i = 0; i < m_bars.size(); ++i) {
        const DayTotal& bar = m_bars[i];
        if (bar.ulBytes + bar.dlBytes == 0) continue;
        const double left = plot.left() + slot * double(i) + (slot - barWidth) / 2;
        const double dlHeight = double(bar.dlBytes) * scale;
        const double ulHeight = double(bar.ulBytes) * scale;
        const double bottom = plot.bottom() + 1;
        painter.fillRect(QRectF(left, bottom - dlHeight, barWidth, dlHeight), dlColour());
        painter.fillRect(QRectF(left, bottom - dlHeight - ulHeight, barWidth, ulHeight), ulColour());
    }

    painter.setPen(colours.color(QPalette::Text));
    const QRect footer(plot.left(), plot.bottom() + 2, plot.width(), line);
    painter.drawText(footer, Qt::AlignLeft | Qt::AlignVCenter, dateText(m_bars.front().day));
    if (m_bars.size() > 1) painter.drawText(footer, Qt::AlignRight | Qt::AlignVCenter, dateText(m_bars.back().day));
}

}  // namespace sondrel
