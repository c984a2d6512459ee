#pragma once

#include <cstddef>

#include "metrics/metrics_server.h"

namespace sondrel {

class Monitor;

// The body of each scrape: the monitor's records and capture status, taken
// on the server's thread. The monitor must outlive the server's run.
MetricsServer::BodySource engineMetricsSource(Monitor& monitor, std::size_t maxApplicationSeries);

}  // namespace sondrel
