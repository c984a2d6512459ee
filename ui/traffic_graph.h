#pragma once

#include <QColor>
#include <QString>
#include <QWidget>
#include <vector>

#include "engine/traffic_history.h"

namespace sondrel {

// Upload and download rate over the last ten minutes, one point a second,
// painted by hand: a line each, the download filled beneath, the scale
// rounded up to a readable rate, and the current rates in the legend.
class TrafficGraph final : public QWidget {
public:
    static constexpr std::int64_t kSpanNs = std::int64_t(TrafficHistory::kSamples) * 1'000'000'000;

    explicit TrafficGraph(QWidget* parent = nullptr);

    // Points oldest first; the graph spans the ten minutes up to the last one.
    // `subject` names whose traffic it is.
    void setSeries(std::vector<GraphPoint> points, QString subject);

    const QString& subject() const { return m_subject; }
    // Bytes per second at the top of the plot.
    double scale() const { return m_scale; }
    const std::vector<GraphPoint>& points() const { return m_points; }

    static QColor uploadColour() { return {0xE0, 0x6C, 0x00}; }
    static QColor downloadColour() { return {0x1F, 0x6F, 0xC0}; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::vector<GraphPoint> m_points;
    QString m_subject;
    double m_scale = 1024;
};

// The smallest of 1, 2 and 5 times a power of ten, times 1, 1024, 1024^2 ...
// bytes per second, that is at least `peak` (and at least 1 KB/s), so the
// scale reads as a round FormatByteRate text.
double graphScale(double peak);

}  // namespace sondrel
