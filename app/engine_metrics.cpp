#include "app/engine_metrics.h"

#include <memory>

#include "base/text.h"
#include "engine/monitor.h"
#include "history/data_cap_watch.h"
#include "metrics/exposition.h"
#include "metrics/metrics_snapshot.h"

namespace sondrel {

MetricsServer::BodySource engineMetricsSource(Monitor& monitor, std::size_t maxApplicationSeries) {
    auto exposition = std::make_shared<MetricsExposition>(maxApplicationSeries);
    return [&monitor, records = monitor.records(), exposition] {
        MetricsSnapshot snapshot = takeMetricsSnapshot(*records, monitor.captureStatus());
        for (const DataCapUse& use : monitor.dataCapUses()) {
            snapshot.dataCaps.push_back({use.cap.period == DataCap::Period::Day ? "day" : "month",
                                         u16ToUtf8(use.cap.application), use.ratio});
        }
        return exposition->render(snapshot);
    };
}

}  // namespace sondrel
