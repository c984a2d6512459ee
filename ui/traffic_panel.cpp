#include "ui/traffic_panel.h"

#include <QLabel>
#include <QVBoxLayout>

#include "ui/traffic_graph.h"

namespace sondrel {

TrafficPanel::TrafficPanel(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_graph = new TrafficGraph(this);
    m_graph->setObjectName(QStringLiteral("trafficGraph"));
    layout->addWidget(m_graph);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("statusLine"));
    // A long error must not widen the window: the line takes the width it is given.
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    m_status->setTextFormat(Qt::PlainText);
    layout->addWidget(m_status);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void TrafficPanel::showTraffic(const MainLists& lists) {
    const std::optional<std::size_t> app = lists.selectedApplication();
    const auto row = lists.applications().selectedRow();
    std::vector<GraphPoint> points;
    points.reserve(TrafficHistory::kSamples);
    lists.history().series(app, points);
    const QString subject = app && row ? QString::fromStdU16String(lists.applications().text(*row, 0))
                                       : QStringLiteral("All applications");
    m_graph->setSeries(std::move(points), subject);
}

void TrafficPanel::showStatus(const std::u16string& text) {
    const QString status = QString::fromStdU16String(text);
    if (status == m_statusText) return;
    m_statusText = status;
    m_status->setToolTip(status);
    elideStatus();
}

void TrafficPanel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    elideStatus();
}

void TrafficPanel::elideStatus() {
    m_status->setText(m_status->fontMetrics().elidedText(m_statusText, Qt::ElideRight, std::max(0, m_status->width())));
}

}  // namespace sondrel
