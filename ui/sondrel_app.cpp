#include "ui/sondrel_app.h"

#include <QPointer>

#include "engine/monitor.h"
#include "ui/qt_notifier.h"
#include "ui/sondrel_dlg.h"
#include "ui/sondrel_resources.h"
#include "ui/dlg_get_pcap.h"

namespace sondrel {

CSondrelApp::CSondrelApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Sondrel"));
    // No display name: the platform would append it to every other caption
    // ("Options — Sondrel"), and each window's caption is its own text.
    setDesktopFileName(QStringLiteral("sondrel"));
    // Closing the window only hides it, and the splash picture goes on its own.
    setQuitOnLastWindowClosed(false);
    initSondrelResources();
    // Windows without an owner (worker message boxes) show this icon too.
    setWindowIcon(mainIcon());
}

CSondrelApp::~CSondrelApp() {
    m_dialog.reset();
    // The server's thread reads the engine; it ends before the engine goes.
    if (m_metrics) m_metrics->stop();
    m_monitor.reset();
    // Detached workers may still hold the notifier; from now on they write to stderr.
    if (m_notifier) m_notifier->close();
}

void CSondrelApp::serveMetrics(MetricsServer* server, MetricsBody body) {
    m_metrics = server;
    m_metricsBody = std::move(body);
}

int CSondrelApp::InitInstance() {
    m_notifier = std::make_shared<QtNotifier>([] {
        DlgGetPCAP dialog;
        dialog.exec();
    });
    MonitorServices services;
    services.notifier = m_notifier;
    services.historyFile = m_historyFile;
    m_monitor = std::make_unique<Monitor>(std::move(services));
    if (m_interfaces) m_monitor->setInterfaceOverride(*m_interfaces);
    if (m_metrics) m_metrics->start(m_metricsBody(*m_monitor));
    m_dialog = std::make_unique<CSondrelDlg>(*m_monitor);
    connect(m_dialog.get(), &CSondrelDlg::ended, this, &QCoreApplication::quit);
    m_dialog->OnInitDialog();
    m_notifier->setNoticeSink([dialog = QPointer<CSondrelDlg>(m_dialog.get())](
                                  const QString& caption, const QString& text, MessageIcon icon) {
        return dialog && dialog->showTrayNotice(caption, text, icon);
    });
    m_dialog->show();
    return exec();
}

}  // namespace sondrel
