// The two lists at the window's default size, on the offscreen screen its
// configuration file describes: the widest cells they carry show in full and
// no row is wider than the list.
#include <QHeaderView>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest>

#include "base/text.h"
#include "config/settings.h"
#include "engine/list_columns.h"
#include "tests/support/in_process_sources.h"
#include "ui/report_list_view.h"
#include "ui/sondrel_dlg.h"

using namespace sondrel;

namespace {

// More rows than either list shows, so the vertical scroll bar takes its room.
constexpr int kRows = 40;
constexpr std::uint64_t kLargestMegabytes = (std::uint64_t(1) << 40) - 1;  // "1048575 MB"

}  // namespace

class TestColumns : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void widestCellsShowInFull_data();
    void widestCellsShowInFull();

private:
    void fillWithWidestCells();

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Monitor> m_monitor;
    std::unique_ptr<CSondrelDlg> m_dlg;
};

void TestColumns::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    MonitorServices services;
    services.reverseLookup = [](const IpAddress&) { return std::optional<std::string>(); };
    services.makeSources = inProcessSources(m_dir->filePath("proc").toStdString());
    services.settingsFolder = m_dir->filePath("config").toStdString();
    services.settingsDefaults = std::make_shared<SettingsDefaults>(SettingsDefaults{u"/tmp", 0x0100C80Au});
    m_monitor = std::make_unique<Monitor>(std::move(services));
    SondrelDlgEnvironment environment;
    environment.systemTrayAvailable = [] { return true; };
    environment.adapters = [] { return std::vector<AdapterEntry>{{u"veth-test", "10.200.0.1"}}; };
    environment.splashMilliseconds = 0;
    environment.startEngine = false;
    m_dlg = std::make_unique<CSondrelDlg>(*m_monitor, environment);
    m_dlg->OnInitDialog();
    m_dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
}

void TestColumns::cleanup() {
    m_dlg.reset();
    m_monitor.reset();
    m_dir.reset();
}

void TestColumns::fillWithWidestCells() {
    {
        const std::scoped_lock guard(m_monitor->records()->RecordsLock);
        RecordsState& records = *m_monitor->records();
        records.interfaceNames[7] = u"enp0s31f6";
        for (int i = 0; i < kRows; ++i) {
            const std::size_t app = records.table.appendApp(u"/usr/bin/app" + utf8ToU16(std::to_string(i)));
            records.table.app(app).ulBytes = kLargestMegabytes;
            records.table.app(app).dlBytes = kLargestMegabytes;
            records.table.app(app).lastRemoteHost = u"255.255.255.255";
            if (i != 0) continue;
            for (int j = 0; j < kRows; ++j) {
                EndpointRecord endpoint;
                endpoint.protocolTag = j % 2 ? u"UDP:" : u"TCP:";
                endpoint.localPort = 65535;
                endpoint.remotePort = 65535;
                endpoint.remoteIpText = u"255.255.255.255";
                endpoint.ulBytes = kLargestMegabytes;
                endpoint.dlBytes = kLargestMegabytes;
                endpoint.interfaceIndex = 7;
                records.table.appendEndpoint(app, std::move(endpoint));
            }
        }
    }
    m_dlg->OnTimer();
    MainLists& lists = m_monitor->lists();
    lists.SelectApplicationRow(std::size_t(kRows - 1));
    QCOMPARE(lists.details().rowCount(), std::size_t(kRows));
    // Rates are measured, not set; these are the widest the lists can show below 10 GB/s.
    for (ReportList* list : {&lists.applications(), &lists.details()}) {
        const std::size_t ul = list == &lists.details() ? std::size_t(DetailUlRate) : std::size_t(AppUlRate);
        for (std::size_t row = 0; row < list->rowCount(); ++row) {
            list->setText(row, ul, u"9999 MB/s");
            list->setText(row, ul + 1, u"9999 MB/s");
        }
        list->flushChanges();
    }
}

void TestColumns::widestCellsShowInFull_data() {
    QTest::addColumn<bool>("detailsList");
    // Free text may be cut; the first of them is the list's widest column.
    QTest::addColumn<QList<int>>("freeText");
    QTest::newRow("Applications") << false << QList<int>{AppName, AppLastHost};
    QTest::newRow("Details") << true << QList<int>{DetailRemoteHostName};
}

void TestColumns::widestCellsShowInFull() {
    QFETCH(bool, detailsList);
    QFETCH(QList<int>, freeText);
    fillWithWidestCells();
    ReportListView* view = detailsList ? m_dlg->detailsView() : m_dlg->applicationsView();
    QTRY_VERIFY(view->verticalScrollBar()->isVisible());
    const QHeaderView* header = view->header();
    int total = 0;
    for (int column = 0; column < header->count(); ++column) {
        const int width = header->sectionSize(column);
        total += width;
        const QString title = view->model()->headerData(column, Qt::Horizontal).toString();
        QVERIFY2(header->sectionSizeHint(column) <= width, qPrintable(title + " " + QString::number(width)));
        if (freeText.contains(column)) continue;
        for (int row = 0; row < view->model()->rowCount(); ++row) {
            const QModelIndex cell = view->model()->index(row, column);
            QVERIFY2(view->sizeHintForIndex(cell).width() <= width,
                     qPrintable(title + ": " + cell.data().toString() + " in " + QString::number(width)));
        }
    }
    QVERIFY2(total <= view->viewport()->width(),
             qPrintable(QString::number(total) + " > " + QString::number(view->viewport()->width())));
    QVERIFY(!view->horizontalScrollBar()->isVisible());
    for (int column = 0; column < header->count(); ++column)
        QVERIFY(header->sectionSize(column) <= header->sectionSize(freeText.front()));
}

QTEST_MAIN(TestColumns)
#include "test_columns.moc"
