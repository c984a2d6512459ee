#include "app/engine_metrics.h"

#include <memory>

#include "engine/monitor.h"
#include "metrics/exposition.h"
#include "metrics/metrics_snapshot.h"

namespace sondrel {

MetricsServer::BodySource engineMetricsSource(Monitor& monitor, std::size_t maxApplicationSeries) {
    auto exposition = std::make_shared<MetricsExposition>(maxApplicationSeries);
    return [&monitor, records = monitor.records(), exposition] {
        return exposition->render(takeMetricsSnapshot(*records, monitor.captureStatus()));
    };
}

}  // namespace sondrel
