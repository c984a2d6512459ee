#pragma once

#include <QApplication>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/capture_set.h"
#include "metrics/metrics_server.h"

namespace sondrel {

class CSondrelDlg;
class Monitor;
class QtNotifier;

// The application object: the QApplication, the engine and the main window.
// There is no single-instance check; a second copy starts like the first.
class CSondrelApp final : public QApplication {
    Q_OBJECT

public:
    CSondrelApp(int& argc, char** argv);
    ~CSondrelApp() override;

    // What each scrape of the engine's metrics answers; the way in that
    // parsed the command line knows how the engine's counters are exposed.
    using MetricsBody = std::function<MetricsServer::BodySource(Monitor&)>;
    // Before InitInstance: serve the engine's metrics on this server (already
    // listening) while the engine lives.
    void serveMetrics(MetricsServer* server, MetricsBody body);
    // Before InitInstance: capture this set for this run instead of the settings' choice.
    void overrideInterfaces(CaptureSet set) { m_interfaces = std::move(set); }
    // Where the counted days are kept; empty: nowhere.
    void keepHistoryIn(std::string file) { m_historyFile = std::move(file); }

    // Builds the engine and the main window, runs the start-up sequence and
    // the event loop until "Exit"; returns the exit code.
    int InitInstance();

private:
    std::shared_ptr<QtNotifier> m_notifier;
    std::unique_ptr<Monitor> m_monitor;
    std::unique_ptr<CSondrelDlg> m_dialog;
    MetricsServer* m_metrics = nullptr;
    MetricsBody m_metricsBody;
    std::optional<CaptureSet> m_interfaces;
    std::string m_historyFile;
};

}  // namespace sondrel
