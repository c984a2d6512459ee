#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QtTest>

#include "tests/support/in_process_sources.h"
#include "ui/report_list_view.h"
#include "ui/sondrel_dlg.h"
#include "ui/traffic_graph.h"
#include "ui/traffic_panel.h"
#include "config/settings.h"
#include "tests/support/stepped_clock.h"

using namespace sondrel;

namespace {

class QuietNotifier final : public Notifier {
public:
    void showMessage(const std::u16string&, const std::u16string&, MessageIcon) override {}
    void showCaptureLibraryMissing() override {}
};

EndpointRecord endpoint(std::uint16_t localPort, std::uint64_t dl) {
    EndpointRecord record;
    record.localPort = localPort;
    record.remotePort = 443;
    record.dlBytes = dl;
    record.remoteIpText = u"10.200.0.2";
    record.protocolTag = u"TCP:";
    return record;
}

void clickRow(ReportListView* view, int row) {
    view->scrollTo(view->model()->index(row, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(view->model()->index(row, 0)).center());
}

QString cell(const QAbstractItemModel* model, int row, int column) {
    return model->index(row, column).data().toString();
}

}  // namespace

// The window's live views of traffic: rate columns, Details following its
// application, the graph and the status line, driven tick by tick on a
// stepped clock.
// Capture as the helper would report it, told by the test.
class ReportedCapture final : public PacketSource {
public:
    void startCapture() override {}
    void stopCapture() override {}
    void shutdown() override {}
    CaptureStatus status() const override { return reported; }
    CaptureStatus reported;
};

class TestTrafficViews : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void detailsFollowTheSelectedApplication();
    void statusLineAndTrayToolTip();
    void graphFollowsTheSelection();

private:
    std::size_t addApp(const std::u16string& name, std::uint64_t dl, std::vector<EndpointRecord> endpoints = {});
    void tick() {
        m_clock->advanceMs(1000);
        m_dlg->OnTimer();
    }
    ReportListView* applications() const { return m_dlg->applicationsView(); }
    ReportListView* details() const { return m_dlg->detailsView(); }
    AppTable& table() { return m_monitor->records()->table; }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::shared_ptr<testing::SteppedMonotonicClock> m_clock;
    std::shared_ptr<ReportedCapture> m_capture = std::make_shared<ReportedCapture>();
    std::unique_ptr<Monitor> m_monitor;
    std::unique_ptr<CSondrelDlg> m_dlg;
};

void TestTrafficViews::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_clock = std::make_shared<testing::SteppedMonotonicClock>();
    MonitorServices services;
    services.notifier = std::make_shared<QuietNotifier>();
    services.clock = std::make_shared<testing::SteppedClock>();
    services.monotonicClock = m_clock;
    services.reverseLookup = [](const IpAddress&) { return std::optional<std::string>(); };
    m_capture = std::make_shared<ReportedCapture>();
    services.makeSources = [this, proc = m_dir->filePath("proc").toStdString()](
                               const std::shared_ptr<CaptureControl>& control, const std::shared_ptr<Notifier>& notifier) {
        auto sources = inProcessSources(proc)(control, notifier);
        sources.packets = m_capture;
        return sources;
    };
    services.settingsFolder = m_dir->filePath("config").toStdString();
    services.settingsDefaults = std::make_shared<SettingsDefaults>(SettingsDefaults{u"/tmp", 0x0100C80Au});
    m_monitor = std::make_unique<Monitor>(std::move(services));

    SondrelDlgEnvironment environment;
    environment.systemTrayAvailable = [] { return true; };
    environment.desktopEntries = std::make_shared<const DesktopEntryIndex>(std::vector<std::string>{},
                                                                           std::vector<std::string>{});
    environment.splashMilliseconds = 0;
    environment.exitWaitMilliseconds = 0;
    environment.startEngine = false;
    m_dlg = std::make_unique<CSondrelDlg>(*m_monitor, environment);
    m_dlg->OnInitDialog();
    m_dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
}

void TestTrafficViews::cleanup() {
    m_dlg.reset();
    m_monitor.reset();
    m_dir.reset();
}

std::size_t TestTrafficViews::addApp(const std::u16string& name, std::uint64_t dl,
                                     std::vector<EndpointRecord> endpoints) {
    const std::scoped_lock guard(m_monitor->records()->RecordsLock);
    std::size_t index = table().findApp(name);
    if (index == AppTable::npos) index = table().appendApp(name);
    table().app(index).dlBytes = dl;
    for (EndpointRecord& record : endpoints) table().appendEndpoint(index, std::move(record));
    return index;
}

void TestTrafficViews::detailsFollowTheSelectedApplication() {
    std::vector<EndpointRecord> endpoints;
    for (std::uint16_t i = 0; i < 40; ++i) endpoints.push_back(endpoint(40000 + i, 0));
    const std::size_t browser = addApp(u"/usr/bin/browser", 0, std::move(endpoints));
    addApp(u"/usr/bin/other", 0, {endpoint(5000, 0)});
    tick();
    clickRow(applications(), 1);  // the browser: "other" entered above it
    QCOMPARE(details()->model()->rowCount(), 40);

    QAbstractItemModelTester tester(details()->model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy resets(details()->model(), &QAbstractItemModel::modelAboutToBeReset);
    QSignalSpy changes(details()->model(), &QAbstractItemModel::dataChanged);
    QSignalSpy inserts(details()->model(), &QAbstractItemModel::rowsInserted);
    // The user picks an endpoint (newest first: row 5 is local port 40034) and scrolls.
    clickRow(details(), 5);
    QCOMPARE(cell(details()->model(), 5, 0), QStringLiteral("TCP:40034"));
    details()->verticalScrollBar()->setValue(3);

    for (int second = 1; second <= 2; ++second) {
        {
            const std::scoped_lock guard(m_monitor->records()->RecordsLock);
            table().app(browser).endpoints[34].dlBytes += 1 << 20;
            table().app(browser).dlBytes += 1 << 20;
            table().app(browser).endpoints[0].remoteHostName = u"cdn.example.test";
            if (second == 2) table().appendEndpoint(browser, endpoint(50000, 4096));
        }
        tick();
    }

    QCOMPARE(resets.size(), 0);
    QCOMPARE(changes.size(), 2);  // one merged change per tick
    QCOMPARE(inserts.size(), 1);
    QCOMPARE(details()->model()->rowCount(), 41);
    QCOMPARE(cell(details()->model(), 0, 0), QStringLiteral("TCP:50000"));
    QCOMPARE(cell(details()->model(), 0, 2), QStringLiteral("4 KB"));
    // The picked endpoint kept counting and kept its selection, one row lower now.
    const QModelIndexList selected = details()->selectionModel()->selectedRows();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.front().row(), 6);
    QCOMPARE(cell(details()->model(), 6, 0), QStringLiteral("TCP:40034"));
    QCOMPARE(cell(details()->model(), 6, 2), QStringLiteral("2 MB"));
    QCOMPARE(cell(details()->model(), 6, 7), QStringLiteral("682 KB/s"));  // 2 MB over the three seconds so far
    QCOMPARE(cell(details()->model(), 40, 5), QStringLiteral("cdn.example.test"));
    QCOMPARE(details()->verticalScrollBar()->value(), 3);
    // The Applications list shows the application's rate too.
    QCOMPARE(cell(applications()->model(), 1, 0), QStringLiteral("/usr/bin/browser"));
    QCOMPARE(cell(applications()->model(), 1, 2), QStringLiteral("2 MB"));
    QCOMPARE(cell(applications()->model(), 1, 5), QStringLiteral("682 KB/s"));

    // Another click fills Details afresh for that application.
    clickRow(applications(), 0);
    QCOMPARE(details()->model()->rowCount(), 1);
    QCOMPARE(cell(details()->model(), 0, 0), QStringLiteral("TCP:5000"));
}

void TestTrafficViews::statusLineAndTrayToolTip() {
    TrafficPanel* panel = m_dlg->trafficPanel();
    const QRect detailsBox(details()->mapTo(m_dlg.get(), QPoint(0, 0)), details()->size());
    const QRect graphBox(panel->graph()->mapTo(m_dlg.get(), QPoint(0, 0)), panel->graph()->size());
    const QRect statusBox(panel->statusLine()->mapTo(m_dlg.get(), QPoint(0, 0)), panel->statusLine()->size());
    QVERIFY(graphBox.top() > detailsBox.bottom());
    QVERIFY(statusBox.top() > graphBox.bottom());
    QCOMPARE(graphBox.left(), detailsBox.left());
    QCOMPARE(graphBox.right(), detailsBox.right());
    QVERIFY(statusBox.bottom() < m_dlg->height());

    m_capture->reported.capturing = true;
    m_capture->reported.ipv4Address = 0x0100C80Au;
    addApp(u"/usr/bin/curl", 3 * 1024);
    tick();
    const QString capturing = QStringLiteral("Capturing 10.200.0.1 · ↑ 0 B/s ↓ 3 KB/s");
    QCOMPARE(panel->statusText(), capturing);
    QCOMPARE(panel->statusLine()->text(), capturing);
    QCOMPARE(m_dlg->trayIcon()->toolTip(), QStringLiteral("Sondrel\n") + capturing);

    m_capture->reported.capturing = false;
    tick();
    QCOMPARE(panel->statusLine()->text(), QStringLiteral("Not capturing"));
    QCOMPARE(m_dlg->trayIcon()->toolTip(), QStringLiteral("Sondrel\nNot capturing"));
}

void TestTrafficViews::graphFollowsTheSelection() {
    TrafficGraph* graph = m_dlg->trafficPanel()->graph();
    // A point low in the last minute of the plot, clear of every grid line.
    const auto lowRight = [graph] {
        const QImage image = graph->grab().toImage();
        return image.pixelColor(image.width() - 12, image.height() - 12);
    };
    const QColor empty = lowRight();
    QCOMPARE(empty, graph->palette().color(QPalette::Base));

    const std::size_t busy = addApp(u"/usr/bin/busy", 0);
    const std::size_t quiet = addApp(u"/usr/bin/quiet", 0);
    for (int second = 1; second <= 60; ++second) {
        {
            const std::scoped_lock guard(m_monitor->records()->RecordsLock);
            table().app(busy).dlBytes += 2048;
            table().app(quiet).dlBytes += second == 1 ? 1024 : 0;
        }
        tick();
    }
    QCOMPARE(graph->subject(), QStringLiteral("All applications"));
    QCOMPARE(graph->points().size(), std::size_t(60));
    QCOMPARE(graph->points().front().dl, 3072.0f);
    QCOMPARE(graph->points().back().dl, 2048.0f);
    QCOMPARE(graph->scale(), 5.0 * 1024);
    QVERIFY(lowRight() != empty);  // the download area reaches down to the baseline

    clickRow(applications(), 0);  // "quiet" entered last, at the top
    QCOMPARE(graph->subject(), QStringLiteral("/usr/bin/quiet"));
    QCOMPARE(graph->points().front().dl, 1024.0f);
    QCOMPARE(graph->points().back().dl, 0.0f);
    QCOMPARE(graph->scale(), 1024.0);

    QTest::mouseClick(applications()->viewport(), Qt::LeftButton, {},
                      QPoint(5, applications()->viewport()->height() - 3));
    QCOMPARE(graph->subject(), QStringLiteral("All applications"));
}

QTEST_MAIN(TestTrafficViews)
#include "test_traffic_views.moc"
