#include "ui/traffic_graph.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <algorithm>

#include "engine/rate_meter.h"

namespace sondrel {

namespace {

constexpr int kPad = 3;
constexpr std::int64_t kTickNs = 1'000'000'000;

QString rateText(double bytesPerSecond) { return QString::fromStdU16String(FormatByteRate(bytesPerSecond)); }

// `over` laid on `under` at `alpha`, as an opaque colour: opaque fills take
// the painter's fast path, blended ones cost several times more.
QColor mixed(const QColor& over, const QColor& under, double alpha) {
    return QColor::fromRgbF(float(over.redF() * alpha + under.redF() * (1 - alpha)),
                            float(over.greenF() * alpha + under.greenF() * (1 - alpha)),
                            float(over.blueF() * alpha + under.blueF() * (1 - alpha)));
}

}  // namespace

double graphScale(double peak) {
    static constexpr double kSteps[] = {1, 2, 5, 10, 20, 50, 100, 200, 500};
    for (double unit = 1024; unit < 1e19; unit *= 1024) {
        for (const double step : kSteps)
            if (step * unit >= peak) return step * unit;
    }
    return peak;
}

TrafficGraph::TrafficGraph(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QSize TrafficGraph::sizeHint() const { return {240, fontMetrics().height() * 6}; }

QSize TrafficGraph::minimumSizeHint() const { return {120, fontMetrics().height() * 4}; }

void TrafficGraph::setSeries(std::vector<GraphPoint> points, QString subject) {
    m_points = std::move(points);
    m_subject = std::move(subject);
    float peak = 0;
    for (const GraphPoint& p : m_points) peak = std::max({peak, p.ul, p.dl});
    m_scale = graphScale(double(peak));
    update();
}

void TrafficGraph::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPalette& colours = palette();
    const QFontMetrics metrics = fontMetrics();
    painter.fillRect(rect(), colours.color(QPalette::Base));
    painter.setPen(colours.color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));

    // Header: whose traffic on the left, the legend with the current rates on the right.
    const QRect header(kPad, 1, width() - 2 * kPad, metrics.height());
    const GraphPoint last = m_points.empty() ? GraphPoint{} : m_points.back();
    const QString up = QStringLiteral("↑ UL ") + rateText(last.ul);
    const QString down = QStringLiteral("↓ DL ") + rateText(last.dl);
    const int gap = metrics.horizontalAdvance(QLatin1Char(' ')) * 2;
    const int downWidth = metrics.horizontalAdvance(down);
    const int legendWidth = metrics.horizontalAdvance(up) + gap + downWidth;
    painter.setPen(downloadColour());
    painter.drawText(header, Qt::AlignRight | Qt::AlignVCenter, down);
    painter.setPen(uploadColour());
    painter.drawText(header.adjusted(0, 0, -(downWidth + gap), 0), Qt::AlignRight | Qt::AlignVCenter, up);
    painter.setPen(colours.color(QPalette::Text));
    const QString title = m_subject + QStringLiteral(", last 10 minutes");
    painter.drawText(header.adjusted(0, 0, -(legendWidth + gap), 0), Qt::AlignLeft | Qt::AlignVCenter,
                     metrics.elidedText(title, Qt::ElideMiddle, header.width() - legendWidth - gap));

    const QRectF plot(kPad, header.bottom() + 2, width() - 2 * kPad, height() - header.bottom() - 2 - kPad);
    if (plot.height() <= 0 || plot.width() <= 0) return;
    const std::int64_t end = m_points.empty() ? 0 : m_points.back().timeNs;
    const double xPerNs = plot.width() / double(kSpanNs);
    const double yPerRate = plot.height() / m_scale;
    const int baseline = int(plot.bottom());
    QPolygonF downLine;
    QPolygonF upLine;
    downLine.reserve(qsizetype(m_points.size()));
    upLine.reserve(qsizetype(m_points.size()));
    // Filled polygons, blended colours and wide pens cost milliseconds for
    // 600 points; opaque bars and one-pixel lines cost a tenth of one.
    const QColor fill = mixed(downloadColour(), colours.color(QPalette::Base), 0.25);
    const auto xAt = [&](std::int64_t timeNs) { return plot.right() - double(end - timeNs) * xPerNs; };
    std::int64_t previous = m_points.empty() ? 0 : m_points.front().timeNs - kTickNs;
    for (const GraphPoint& p : m_points) {
        const std::int64_t from = std::max(previous, end - kSpanNs);
        previous = p.timeNs;
        if (end - p.timeNs > kSpanNs) continue;
        const double x = xAt(p.timeNs);
        const double yDown = plot.bottom() - double(p.dl) * yPerRate;
        downLine << QPointF(x, yDown);
        upLine << QPointF(x, plot.bottom() - double(p.ul) * yPerRate);
        // Each bar reaches back to the point before, so a late tick gives a
        // wider bar rather than a gap.
        const int left = int(xAt(from));
        const int top = int(yDown);
        if (top < baseline) painter.fillRect(QRect(QPoint(left, top), QPoint(std::max(left, int(x)), baseline)), fill);
    }

    painter.setPen(mixed(colours.color(QPalette::Mid), colours.color(QPalette::Base), 0.35));
    for (int minute = 1; minute < 10; ++minute) {
        const double x = plot.left() + plot.width() * minute / 10;
        painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
    }
    for (const double level : {0.0, 0.5, 1.0}) {
        const double y = plot.bottom() - plot.height() * level;
        painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
    }
    painter.setPen(colours.color(QPalette::PlaceholderText));
    painter.drawText(plot.adjusted(2, 1, 0, 0), Qt::AlignLeft | Qt::AlignTop, rateText(m_scale));

    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(downloadColour(), 1));
    painter.drawPolyline(downLine);
    painter.setPen(QPen(uploadColour(), 1));
    painter.drawPolyline(upLine);
}

}  // namespace sondrel
