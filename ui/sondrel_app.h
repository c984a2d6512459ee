#pragma once

#include <QApplication>
#include <cstddef>
#include <memory>

namespace sondrel {

class CSondrelDlg;
class MetricsServer;
class Monitor;
class QtNotifier;

// The application object: the QApplication, the engine and the main window.
// There is no single-instance check; a second copy starts like the first.
class CSondrelApp final : public QApplication {
    Q_OBJECT

public:
    CSondrelApp(int& argc, char** argv);
    ~CSondrelApp() override;

    // Before InitInstance: serve the engine's metrics on this server (already
    // listening) while the engine lives.
    void serveMetrics(MetricsServer* server, std::size_t maxApplicationSeries);

    // Builds the engine and the main window, runs the start-up sequence and
    // the event loop until "Exit"; returns the exit code.
    int InitInstance();

private:
    std::shared_ptr<QtNotifier> m_notifier;
    std::unique_ptr<Monitor> m_monitor;
    std::unique_ptr<CSondrelDlg> m_dialog;
    MetricsServer* m_metrics = nullptr;
    std::size_t m_maxApplicationSeries = 0;
};

}  // namespace sondrel
