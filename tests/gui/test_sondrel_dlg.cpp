#include <QApplication>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QtTest>

#include "ui/caption_bar.h"
#include "ui/report_list_view.h"
#include "tests/support/in_process_sources.h"
#include "ui/sondrel_dlg.h"
#include "ui/splash_window.h"
#include "ui/dlg_opt.h"
#include "config/settings.h"
#include "ui/dialog_units.h"

using namespace sondrel;

namespace {

class NoonClock final : public Clock {
public:
    std::optional<LocalTime> now() const override { return LocalTime{2026, 6, 12, 12, 0, 0}; }
};

class RecordingNotifier final : public Notifier {
public:
    void showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon) override {
        messages.push_back(caption + u": " + text);
    }
    void showCaptureLibraryMissing() override { messages.push_back(u"capture library missing"); }
    std::vector<std::u16string> messages;
};

EndpointRecord endpoint(std::uint16_t localPort, const char16_t* remoteIp, std::uint16_t remotePort,
                        std::uint64_t ul, const char16_t* tag = u"TCP:") {
    EndpointRecord record;
    record.localPort = localPort;
    record.remotePort = remotePort;
    record.ulBytes = ul;
    record.remoteIpText = remoteIp;
    record.protocolTag = tag;
    return record;
}

QStringList column(const QAbstractItemModel* model, int column) {
    QStringList texts;
    for (int row = 0; row < model->rowCount(); ++row) texts << model->index(row, column).data().toString();
    return texts;
}

// Answers the modal windows that come up, one step per window, from inside
// their own event loops.
class ModalDriver {
public:
    using Step = std::function<void(QWidget* modal)>;
    explicit ModalDriver(std::vector<Step> steps) : m_steps(std::move(steps)) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || modal == m_last || m_next == m_steps.size()) return;
            m_last = modal;
            m_steps[m_next++](modal);
        });
        m_timer.start(5);
    }
    std::size_t done() const { return m_next; }

private:
    std::vector<Step> m_steps;
    std::size_t m_next = 0;
    QWidget* m_last = nullptr;
    QTimer m_timer;
};

void clickHeader(ReportListView* view, int section) {
    QHeaderView* header = view->header();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(section) + 5, header->height() / 2));
}

void clickRow(ReportListView* view, int row) {
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(view->model()->index(row, 0)).center());
}

}  // namespace

class TestSondrelDlg : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowHasItsSizeAndResizes();
    void captionsUseHighlightColours();
    void menuTextsAndIds();
    void trayMenu();
    void enterAndEscapeDoNothing_data();
    void enterAndEscapeDoNothing();
    void closeHidesOrMinimizes_data();
    void closeHidesOrMinimizes();
    void trayBringsWindowBack_data();
    void trayBringsWindowBack();
    void listColumns_data();
    void listColumns();
    void newRowsEnterAtTheTopAfterSort();
    void clickFillsDetails();
    void headerClickSorts_data();
    void headerClickSorts();
    void detailsSortPortsAsText();
    void reportSelectionShowsInTheView();
    void rowIcons();
    void splashGoesAtSecondTick();
    void trayWorksWhileADialogIsOpen();
    void exitSequence();
    void exportWritesChosenFile_data();
    void exportWritesChosenFile();
    void exportFailureIsReported_data();
    void exportFailureIsReported();
    void optionsShowsAndAppliesSettings_data();
    void optionsShowsAndAppliesSettings();
    void historyWithoutStoreSaysSo_data();
    void historyWithoutStoreSaysSo();

private:
    void addApp(const std::u16string& name, std::uint64_t ul, std::uint64_t dl, const std::u16string& host,
                std::vector<EndpointRecord> endpoints = {});
    ReportListView* applications() const { return m_dlg->applicationsView(); }
    ReportListView* details() const { return m_dlg->detailsView(); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::shared_ptr<RecordingNotifier> m_notifier;
    std::unique_ptr<Monitor> m_monitor;
    std::unique_ptr<CSondrelDlg> m_dlg;
    bool m_trayAvailable = true;
};

void TestSondrelDlg::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_notifier = std::make_shared<RecordingNotifier>();
    MonitorServices services;
    services.notifier = m_notifier;
    services.clock = std::make_shared<NoonClock>();
    services.reverseLookup = [](const IpAddress&) { return std::optional<std::string>(); };
    services.makeSources = inProcessSources(m_dir->filePath("proc").toStdString());
    services.settingsFolder = m_dir->filePath("config").toStdString();
    services.settingsDefaults = std::make_shared<SettingsDefaults>(SettingsDefaults{u"/tmp", 0x0100C80Au});
    m_monitor = std::make_unique<Monitor>(std::move(services));

    m_trayAvailable = true;
    SondrelDlgEnvironment environment;
    environment.systemTrayAvailable = [this] { return m_trayAvailable; };
    environment.desktopEntries = std::make_shared<const DesktopEntryIndex>(std::vector<std::string>{},
                                                                           std::vector<std::string>{});
    environment.adapters = [] {
        return std::vector<AdapterEntry>{{u"aaa-first", "10.200.9.9"}, {u"veth-test", "10.200.0.1"}};
    };
    environment.splashMilliseconds = 0;
    environment.exitWaitMilliseconds = 0;
    environment.startEngine = false;
    m_dlg = std::make_unique<CSondrelDlg>(*m_monitor, environment);
    m_dlg->OnInitDialog();
    m_dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
}

void TestSondrelDlg::cleanup() {
    m_dlg.reset();
    m_monitor.reset();
    m_dir.reset();
}

void TestSondrelDlg::addApp(const std::u16string& name, std::uint64_t ul, std::uint64_t dl,
                            const std::u16string& host, std::vector<EndpointRecord> endpoints) {
    const std::scoped_lock guard(m_monitor->records()->RecordsLock);
    AppTable& table = m_monitor->records()->table;
    std::size_t index = table.findApp(name);
    if (index == AppTable::npos) index = table.appendApp(name);
    table.app(index).ulBytes = ul;
    table.app(index).dlBytes = dl;
    table.app(index).lastRemoteHost = host;
    for (EndpointRecord& record : endpoints) table.appendEndpoint(index, std::move(record));
}

void TestSondrelDlg::windowHasItsSizeAndResizes() {
    QCOMPARE(m_dlg->windowTitle(), QStringLiteral("Sondrel"));
    QVERIFY(m_dlg->minimumSize() != m_dlg->maximumSize());
    QVERIFY(!(m_dlg->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(m_dlg->windowFlags() & Qt::WindowMinimizeButtonHint);
    QCOMPARE(m_dlg->applicationsCaption()->text(), QStringLiteral("Applications"));
    QCOMPARE(m_dlg->detailsCaption()->text(), QStringLiteral("Details"));
    QVERIFY(m_dlg->applicationsCaption()->geometry().bottom() < applications()->geometry().top());
    QVERIFY(applications()->geometry().bottom() < m_dlg->detailsCaption()->geometry().top());
    QVERIFY(m_dlg->detailsCaption()->geometry().bottom() < details()->geometry().top());
    QVERIFY(!m_dlg->windowIcon().isNull());


    // Extra room goes to the lists; captions stay bars of one height, columns keep their widths.
    const int captionHeight = m_dlg->applicationsCaption()->height();
    const int nameWidth = applications()->header()->sectionSize(0);
    const int hostNameWidth = details()->header()->sectionSize(5);
    const QSize applicationsBefore = applications()->size();
    const QSize detailsBefore = details()->size();
    m_dlg->resize(m_dlg->size() + QSize(120, 265));
    QTRY_COMPARE(applications()->width(), applicationsBefore.width() + 120);
    QCOMPARE(details()->width(), detailsBefore.width() + 120);
    // In the proportion of the lists' own heights, 150 : 115 (a pixel either way for rounding).
    const int applicationsGrowth = applications()->height() - applicationsBefore.height();
    QVERIFY2(qAbs(applicationsGrowth - 150) <= 1, qPrintable(QString::number(applicationsGrowth)));
    QCOMPARE(applicationsGrowth + details()->height() - detailsBefore.height(), 265);
    QCOMPARE(m_dlg->applicationsCaption()->height(), captionHeight);
    QCOMPARE(m_dlg->detailsCaption()->height(), captionHeight);
    const DialogUnits units(m_dlg->font());
    QCOMPARE(m_dlg->detailsCaption()->geometry().top(), applications()->geometry().bottom() + 1 + units.y(173) - units.y(166));
    QCOMPARE(applications()->header()->sectionSize(0), nameWidth);
    QCOMPARE(details()->header()->sectionSize(5), hostNameWidth);
}

void TestSondrelDlg::captionsUseHighlightColours() {
    CaptionBar* caption = m_dlg->applicationsCaption();
    QCOMPARE(caption->grab().toImage().pixelColor(1, 1), caption->palette().color(QPalette::Highlight));
    // A new colour scheme shows at the next paint.
    QPalette scheme = caption->palette();
    scheme.setColor(QPalette::Highlight, QColor(10, 120, 30));
    scheme.setColor(QPalette::HighlightedText, QColor(250, 250, 0));
    caption->setPalette(scheme);
    const QImage image = caption->grab().toImage();
    QCOMPARE(image.pixelColor(1, 1), QColor(10, 120, 30));
    bool textDrawn = false;
    for (int x = 0; x < image.width() && !textDrawn; ++x)
        for (int y = 0; y < image.height() && !textDrawn; ++y) textDrawn = image.pixelColor(x, y) == QColor(250, 250, 0);
    QVERIFY(textDrawn);
}

void TestSondrelDlg::menuTextsAndIds() {
    struct Item {
        QString text;
        int id;  // 0: separator
    };
    const QList<QPair<QString, QList<Item>>> expected = {
        {"File", {{"Export as HTML...", 32771}, {"Export as CSV...", 32778}, {"", 0}, {"Hide", 32772}, {"Exit", 32773}}},
        {"View", {{"History...", 32780}}},
        {"Options", {{"Options...", 32779}, {"Data caps...", 32782}}},
        {"Help", {{"Help topics", 32774}, {"About...", 32775}, {"", 0}, {"&About Sondrel...", 16}}},
    };
    const QList<QAction*> menus = m_dlg->menuBar()->actions();
    QCOMPARE(menus.size(), expected.size());
    for (qsizetype m = 0; m < menus.size(); ++m) {
        QCOMPARE(menus[m]->text(), expected[m].first);
        const QList<QAction*> items = menus[m]->menu()->actions();
        QCOMPARE(items.size(), expected[m].second.size());
        for (qsizetype i = 0; i < items.size(); ++i) {
            const Item& item = expected[m].second[i];
            QCOMPARE(items[i]->isSeparator(), item.id == 0);
            if (item.id == 0) continue;
            QCOMPARE(items[i]->text(), item.text);
            QCOMPARE(items[i]->data().toInt(), item.id);
            QCOMPARE(m_dlg->commandAction(item.id), items[i]);
        }
    }
}

void TestSondrelDlg::trayMenu() {
    QSystemTrayIcon* tray = m_dlg->trayIcon();
    QVERIFY(tray);
    QVERIFY(tray->toolTip().startsWith(QStringLiteral("Sondrel\n")));
    QCOMPARE(tray->contextMenu(), m_dlg->trayMenu());
    const QList<QAction*> items = m_dlg->trayMenu()->actions();
    QCOMPARE(items.size(), 4);
    QCOMPARE(items[0]->text(), QStringLiteral("Show application"));
    QCOMPARE(items[0]->data().toInt(), 32776);
    QVERIFY(items[0]->font().bold());
    QCOMPARE(m_dlg->trayMenu()->defaultAction(), items[0]);
    QVERIFY(items[1]->isSeparator());
    QCOMPARE(items[2]->text(), QStringLiteral("History..."));
    QCOMPARE(items[2]->data().toInt(), 32781);
    QCOMPARE(items[3]->text(), QStringLiteral("Exit"));
    QCOMPARE(items[3]->data().toInt(), 32777);
    QVERIFY(!items[3]->font().bold());
}

void TestSondrelDlg::enterAndEscapeDoNothing_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("onList");
    for (const auto& [name, key] : {std::pair{"Return", Qt::Key_Return}, {"Enter", Qt::Key_Enter}, {"Escape", Qt::Key_Escape}}) {
        QTest::addRow("%s on the window", name) << int(key) << false;
        QTest::addRow("%s on the Applications list", name) << int(key) << true;
    }
}

void TestSondrelDlg::enterAndEscapeDoNothing() {
    QFETCH(int, key);
    QFETCH(bool, onList);
    addApp(u"/usr/bin/app", 1, 1, u"10.200.0.2");
    m_dlg->OnTimer();
    m_monitor->lists().SelectApplicationRow(0);
    QSignalSpy ended(m_dlg.get(), &CSondrelDlg::ended);
    QWidget* target = onList ? static_cast<QWidget*>(applications()) : m_dlg.get();
    QTest::keyClick(target, Qt::Key(key));
    QVERIFY(m_dlg->isVisible());
    QVERIFY(!m_dlg->isMinimized());
    QCOMPARE(m_dlg->result(), 0);
    QCOMPARE(ended.size(), 0);
    QVERIFY(m_dlg->ticking());
    QCOMPARE(m_monitor->lists().details().rowCount(), std::size_t(0));
}

void TestSondrelDlg::closeHidesOrMinimizes_data() {
    QTest::addColumn<bool>("tray");
    QTest::addColumn<bool>("useHide");
    QTest::newRow("close with tray") << true << false;
    QTest::newRow("Hide with tray") << true << true;
    QTest::newRow("close without tray") << false << false;
    QTest::newRow("Hide without tray") << false << true;
}

void TestSondrelDlg::closeHidesOrMinimizes() {
    QFETCH(bool, tray);
    QFETCH(bool, useHide);
    m_trayAvailable = tray;
    if (useHide) {
        m_dlg->commandAction(kCmdHide)->trigger();
    } else {
        QVERIFY(!m_dlg->close());
    }
    QCOMPARE(m_dlg->isVisible(), !tray);
    QCOMPARE(m_dlg->isMinimized(), !tray);
    QVERIFY(m_dlg->ticking());
    QVERIFY(m_dlg->trayIcon());
}

void TestSondrelDlg::trayBringsWindowBack_data() {
    QTest::addColumn<bool>("tray");
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("shows");
    QTest::newRow("Show application") << true << "menu" << true;
    QTest::newRow("left click") << true << "trigger" << true;
    QTest::newRow("double click alone") << true << "double" << false;
    QTest::newRow("context click") << true << "context" << false;
    QTest::newRow("Show application, minimized without tray") << false << "menu" << true;
    QTest::newRow("left click, minimized without tray") << false << "trigger" << true;
}

void TestSondrelDlg::trayBringsWindowBack() {
    QFETCH(bool, tray);
    QFETCH(QString, how);
    m_trayAvailable = tray;
    m_dlg->close();
    QSystemTrayIcon* icon = m_dlg->trayIcon();
    if (how == "menu") m_dlg->trayMenu()->actions().front()->trigger();
    if (how == "trigger") emit icon->activated(QSystemTrayIcon::Trigger);
    if (how == "double") emit icon->activated(QSystemTrayIcon::DoubleClick);
    if (how == "context") emit icon->activated(QSystemTrayIcon::Context);
    QFETCH(bool, shows);
    const bool shown = m_dlg->isVisible() && !m_dlg->isMinimized();
    QCOMPARE(shown, shows);
}

void TestSondrelDlg::listColumns_data() {
    QTest::addColumn<bool>("detailsList");
    QTest::addColumn<QStringList>("titles");
    QTest::newRow("Applications") << false
                                  << QStringList{"Application", "UL", "DL", "The last remote host", "UL/s", "DL/s"};
    QTest::newRow("Details") << true
                             << QStringList{"Local port", "UL", "DL", "Remote IP", "Remote port", "Remote hostname",
                                            "UL/s", "DL/s", "Interface"};
}

void TestSondrelDlg::listColumns() {
    QFETCH(bool, detailsList);
    QFETCH(QStringList, titles);
    ReportListView* view = detailsList ? details() : applications();
    QCOMPARE(view->model()->columnCount(), titles.size());
    for (int c = 0; c < titles.size(); ++c) QCOMPARE(view->model()->headerData(c, Qt::Horizontal).toString(), titles[c]);
    QCOMPARE(view->selectionMode(), QAbstractItemView::SingleSelection);
    QCOMPARE(view->selectionBehavior(), QAbstractItemView::SelectRows);
    QVERIFY(!view->isSortingEnabled());
}

void TestSondrelDlg::newRowsEnterAtTheTopAfterSort() {
    addApp(u"/usr/bin/small", 900 * 1024, 0, u"10.200.0.2");
    addApp(u"/usr/bin/large", 2 * 1024 * 1024, 0, u"10.200.0.3");
    addApp(u"/usr/bin/tiny", 1000, 0, u"10.200.0.4");
    m_dlg->OnTimer();
    QCOMPARE(column(applications()->model(), 0), QStringList({"/usr/bin/tiny", "/usr/bin/large", "/usr/bin/small"}));
    clickHeader(applications(), 1);
    QCOMPARE(column(applications()->model(), 0), QStringList({"/usr/bin/large", "/usr/bin/small", "/usr/bin/tiny"}));
    addApp(u"/usr/bin/new", 1, 0, u"10.200.0.5");
    addApp(u"/usr/bin/tiny", 5 * 1024 * 1024, 0, u"10.200.0.6");
    m_dlg->OnTimer();
    QCOMPARE(column(applications()->model(), 0),
             QStringList({"/usr/bin/new", "/usr/bin/large", "/usr/bin/small", "/usr/bin/tiny"}));
    QCOMPARE(column(applications()->model(), 1), QStringList({"1 B", "2 MB", "900 KB", "5 MB"}));
    QCOMPARE(column(applications()->model(), 3), QStringList({"10.200.0.5", "10.200.0.3", "10.200.0.2", "10.200.0.6"}));
}

void TestSondrelDlg::clickFillsDetails() {
    addApp(u"/usr/bin/browser", 10, 20, u"10.200.0.3",
           {endpoint(40000, u"10.200.0.2", 443, 5), endpoint(40001, u"10.200.0.3", 80, 5)});
    addApp(u"ICMP protocol", 84, 0, u"10.200.0.9", {endpoint(0, u"10.200.0.9", 0, 84, u"-")});
    m_dlg->OnTimer();
    QCOMPARE(column(applications()->model(), 0), QStringList({"ICMP protocol", "/usr/bin/browser"}));
    QCOMPARE(details()->model()->rowCount(), 0);

    clickRow(applications(), 1);
    QCOMPARE(m_monitor->lists().applications().selectedRow(), std::optional<std::size_t>(1));
    QCOMPARE(column(details()->model(), 0), QStringList({"TCP:40001", "TCP:40000"}));
    QCOMPARE(column(details()->model(), 3), QStringList({"10.200.0.3", "10.200.0.2"}));
    QCOMPARE(column(details()->model(), 4), QStringList({"TCP:80", "TCP:443"}));

    clickRow(applications(), 0);
    QCOMPARE(column(details()->model(), 0), QStringList({"-"}));
    QCOMPARE(column(details()->model(), 4), QStringList({"-"}));

    // Below the last row: the selection goes and so do the details.
    QTest::mouseClick(applications()->viewport(), Qt::LeftButton, {},
                      QPoint(5, applications()->viewport()->height() - 3));
    QVERIFY(!applications()->selectionModel()->hasSelection());
    QCOMPARE(m_monitor->lists().applications().selectedRow(), std::nullopt);
    QCOMPARE(details()->model()->rowCount(), 0);
}

void TestSondrelDlg::headerClickSorts_data() {
    QTest::addColumn<int>("section");
    QTest::addColumn<QStringList>("order");
    QTest::newRow("UL by size, largest first") << 1 << QStringList{"/b/two-mb", "/a/900-kb", "/c/1000-b"};
    QTest::newRow("DL by size, 1 GB above 2048 MB") << 2 << QStringList{"/c/1000-b", "/b/two-mb", "/a/900-kb"};
    QTest::newRow("name as text") << 0 << QStringList{"/a/900-kb", "/b/two-mb", "/c/1000-b"};
    QTest::newRow("host as text, 10.200.0.10 first") << 3 << QStringList{"/c/1000-b", "/b/two-mb", "/a/900-kb"};
}

void TestSondrelDlg::headerClickSorts() {
    QFETCH(int, section);
    QFETCH(QStringList, order);
    addApp(u"/a/900-kb", 900 * 1024, 2047ull << 20, u"10.200.0.9");
    addApp(u"/b/two-mb", 2 * 1024 * 1024, 2048ull << 20, u"10.200.0.2");
    addApp(u"/c/1000-b", 1000, 1ull << 40, u"10.200.0.10");
    m_dlg->OnTimer();
    clickHeader(applications(), section);
    QCOMPARE(m_monitor->lists().SortState, section);
    QCOMPARE(column(applications()->model(), 0), order);
    clickHeader(applications(), section);
    QCOMPARE(column(applications()->model(), 0), order);
}

void TestSondrelDlg::detailsSortPortsAsText() {
    addApp(u"/usr/bin/server", 0, 0, u"10.200.0.2",
           {endpoint(80, u"10.200.0.2", 5000, 3), endpoint(100, u"10.200.0.3", 6000, 1 << 20),
            endpoint(8080, u"10.200.0.4", 7000, 2048)});
    m_dlg->OnTimer();
    clickRow(applications(), 0);
    clickHeader(details(), 0);
    QCOMPARE(column(details()->model(), 0), QStringList({"TCP:100", "TCP:80", "TCP:8080"}));
    QCOMPARE(m_monitor->lists().SortState, 0);
    clickHeader(details(), 1);
    QCOMPARE(column(details()->model(), 1), QStringList({"1 MB", "2 KB", "3 B"}));
    QCOMPARE(m_monitor->lists().SortState, 1);
}

void TestSondrelDlg::reportSelectionShowsInTheView() {
    addApp(u"/b", 1, 0, u"h");
    addApp(u"/a", 2, 0, u"h");
    m_dlg->OnTimer();
    m_monitor->lists().SelectApplicationRow(1);
    QCOMPARE(applications()->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(applications()->selectionModel()->selectedRows().front().data().toString(), QStringLiteral("/b"));
    clickHeader(applications(), 1);
    QCOMPARE(applications()->selectionModel()->selectedRows().front().data().toString(), QStringLiteral("/b"));
    QCOMPARE(m_monitor->lists().applications().selectedRow(), std::optional<std::size_t>(1));
    // The keyboard moves the selection the reports read, without filling Details.
    applications()->setFocus();
    QTest::keyClick(applications(), Qt::Key_Up);
    QCOMPARE(m_monitor->lists().applications().selectedRow(), std::optional<std::size_t>(0));
}

void TestSondrelDlg::rowIcons() {
    addApp(u"UDP protocol", 1, 0, u"h");
    addApp(u"/usr/bin/unknown-program", 1, 0, u"h");
    m_dlg->OnTimer();
    const auto& kinds = m_monitor->lists().imageKinds();
    QCOMPARE(kinds.size(), std::size_t(2));
    QCOMPARE(kinds[0], AppIconKind::Protocol);
    QCOMPARE(kinds[1], AppIconKind::Generic);
    QCOMPARE(m_dlg->imageList().size(), std::size_t(2));
    for (int row = 0; row < 2; ++row)
        QVERIFY(!applications()->model()->index(row, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
    QVERIFY(!applications()->model()->index(0, 1).data(Qt::DecorationRole).isValid());
}

void TestSondrelDlg::splashGoesAtSecondTick() {
    QVERIFY(m_dlg->splashShown());
    // The main window's transient child: the window manager keeps it above the window.
    QCOMPARE(m_dlg->splash()->parentWidget(), m_dlg.get());
    QVERIFY(m_dlg->splash()->isWindow());
    QVERIFY(m_dlg->splash()->windowHandle());
    QCOMPARE(m_dlg->splash()->windowHandle()->transientParent(), m_dlg->windowHandle());
    m_dlg->OnTimer();
    QVERIFY(m_dlg->splashShown());
    m_dlg->OnTimer();
    QVERIFY(!m_dlg->splashShown());
    m_dlg->OnTimer();
    QVERIFY(!m_dlg->splashShown());
}

// While a dialog of the main window is open, other windows (the tray icon's
// own, stood in for by a window without owner) still take clicks, and the
// tray menu brings the hidden window back.
void TestSondrelDlg::trayWorksWhileADialogIsOpen() {
    class ClickCounter final : public QWidget {
    public:
        int presses = 0;

    protected:
        void mousePressEvent(QMouseEvent*) override { ++presses; }
    };
    int probePresses = -1;
    bool shownAgain = false;
    Qt::WindowModality modality = Qt::NonModal;
    ModalDriver driver({[&](QWidget* modal) {
        modality = modal->windowModality();
        ClickCounter probe;
        probe.resize(40, 40);
        probe.show();
        QVERIFY(QTest::qWaitForWindowExposed(&probe));
        // Through the window system, where blocking by a modal window happens.
        QTest::mouseClick(probe.windowHandle(), Qt::LeftButton, {}, QPoint(20, 20));
        probePresses = probe.presses;

        m_dlg->hide();
        QMenu* menu = m_dlg->trayMenu();
        menu->popup(QPoint(10, 10));
        QVERIFY(QTest::qWaitForWindowExposed(menu));
        QTest::mouseClick(menu->windowHandle(), Qt::LeftButton, {},
                          menu->actionGeometry(menu->actions().front()).center());
        shownAgain = m_dlg->isVisible();
        qobject_cast<CDlgOpt*>(modal)->cancelButton().click();
    }});
    m_dlg->commandAction(kCmdOptions)->trigger();
    QCOMPARE(driver.done(), std::size_t(1));
    QCOMPARE(modality, Qt::WindowModal);
    QCOMPARE(probePresses, 1);
    QVERIFY(shownAgain);
}

void TestSondrelDlg::exitSequence() {
    QSignalSpy ended(m_dlg.get(), &CSondrelDlg::ended);
    m_dlg->trayMenu()->actions().back()->trigger();
    QVERIFY(!m_dlg->ticking());
    QVERIFY(!m_monitor->capture().captureRunning.load());
    QVERIFY(ended.wait(5000));
    QCOMPARE(ended.size(), 1);
    QVERIFY(!m_dlg->trayIcon());
    QVERIFY(!m_dlg->isVisible());
    m_dlg->commandAction(kCmdExit)->trigger();
    QTest::qWait(20);
    QCOMPARE(ended.size(), 1);
}

void TestSondrelDlg::exportWritesChosenFile_data() {
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QByteArray>("start");
    QTest::newRow("HTML") << int(kCmdExportHtml) << "HTML files(*.html)" << "html"
                          << QByteArray("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                                        "charset=windows-1251\"><title>Sondrel report</title>");
    QTest::newRow("CSV") << int(kCmdExportCsv) << "CSV files(*.csv)" << "csv" << QByteArray("Application");
}

void TestSondrelDlg::exportWritesChosenFile() {
    QFETCH(int, command);
    addApp(u"/usr/bin/app", 1, 2, u"10.200.0.2", {endpoint(1, u"10.200.0.2", 2, 1)});
    m_dlg->OnTimer();
    QString askedFilter;
    QString askedSuffix;
    const QString path = m_dir->filePath("report");
    m_dlg->setSavePathPrompt([&](const QString& filter, const QString& suffix) {
        askedFilter = filter;
        askedSuffix = suffix;
        return path;
    });
    m_dlg->commandAction(command)->trigger();
    QTEST(askedFilter, "filter");
    QTEST(askedSuffix, "suffix");
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QFETCH(QByteArray, start);
    QVERIFY2(file.readAll().startsWith(start), qPrintable(path));
}

void TestSondrelDlg::exportFailureIsReported_data() {
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("path");
    QTest::newRow("HTML into a missing folder") << int(kCmdExportHtml) << "missing/folder/x.html";
    QTest::newRow("CSV into a missing folder") << int(kCmdExportCsv) << "missing/folder/x.csv";
    // /dev/full opens and then fails every write, as a full disk does.
    QTest::newRow("HTML onto a full disk") << int(kCmdExportHtml) << "/dev/full";
    QTest::newRow("CSV onto a full disk") << int(kCmdExportCsv) << "/dev/full";
}

void TestSondrelDlg::exportFailureIsReported() {
    QFETCH(int, command);
    QFETCH(QString, path);
    addApp(u"/usr/bin/app", 1, 2, u"10.200.0.2", {endpoint(1, u"10.200.0.2", 2, 1)});
    m_dlg->OnTimer();
    const QString target = path.startsWith('/') ? path : m_dir->filePath(path);
    m_dlg->setSavePathPrompt([target](const QString&, const QString&) { return target; });
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QTimer closer;
    connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            caption = box->windowTitle();
            text = box->text();
            icon = box->icon();
            box->button(QMessageBox::Ok)->click();
        }
    });
    closer.start(5);
    m_dlg->commandAction(command)->trigger();
    QCOMPARE(caption, QStringLiteral("Error"));
    QCOMPARE(text, QStringLiteral("Can't create file!"));
    QCOMPARE(icon, QMessageBox::Critical);

    // Cancelling the file dialog is no error.
    caption.clear();
    m_dlg->setSavePathPrompt([](const QString&, const QString&) { return QString(); });
    m_dlg->commandAction(kCmdExportCsv)->trigger();
    QVERIFY(caption.isEmpty());
}

void TestSondrelDlg::optionsShowsAndAppliesSettings_data() {
    QTest::addColumn<bool>("confirm");
    QTest::addColumn<bool>("folderWritable");
    QTest::addColumn<QString>("message");
    QTest::newRow("OK saves") << true << true << "";
    QTest::newRow("Cancel changes nothing") << false << true << "";
    QTest::newRow("OK, settings file cannot be written") << true << false
                                                         << "Error: Can't save configuration to a file!";
}

void TestSondrelDlg::optionsShowsAndAppliesSettings() {
    QFETCH(bool, confirm);
    QFETCH(bool, folderWritable);
    const QString settingsFile = m_dir->filePath("config/conf01.dat");
    if (!folderWritable) {
        QVERIFY(QDir(m_dir->filePath("config")).removeRecursively());
        QFile blocker(m_dir->filePath("config"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    bool checked = false;
    QString path;
    QString chosen;
    QString message;
    ModalDriver driver({[&](QWidget* modal) {
                            auto* options = qobject_cast<CDlgOpt*>(modal);
                            QVERIFY(options);
                            checked = options->dailyReportsBox().isChecked();
                            path = options->pathEdit().text();
                            chosen = options->interfaceBox().currentText();
                            options->dailyReportsBox().setChecked(false);
                            options->pathEdit().setText(QStringLiteral("/srv/reports"));
                            (confirm ? options->okButton() : options->cancelButton()).click();
                        },
                        [&](QWidget* modal) {
                            auto* box = qobject_cast<QMessageBox*>(modal);
                            QVERIFY(box);
                            QCOMPARE(box->icon(), QMessageBox::Critical);
                            message = box->windowTitle() + ": " + box->text();
                            box->button(QMessageBox::Ok)->click();
                        }});
    m_dlg->commandAction(kCmdOptions)->trigger();
    QVERIFY(checked);
    QCOMPARE(path, QStringLiteral("/tmp"));
    QCOMPARE(chosen, QStringLiteral("veth-test"));
    QTEST(message, "message");
    QCOMPARE(m_monitor->settings().dailyReports, confirm ? 0 : 1);
    QCOMPARE(m_monitor->settings().reportFolder, confirm ? u"/srv/reports" : u"/tmp");
    QCOMPARE(m_monitor->localAddress(), 0x0100C80Au);
    QVERIFY(!m_monitor->capture().captureRunning.load());
    QCOMPARE(QFileInfo(settingsFile).isFile(), confirm && folderWritable);
}

void TestSondrelDlg::historyWithoutStoreSaysSo_data() {
    QTest::addColumn<int>("command");
    QTest::newRow("View menu") << int(kCmdHistory);
    QTest::newRow("tray menu") << int(kCmdTrayHistory);
}

void TestSondrelDlg::historyWithoutStoreSaysSo() {
    QFETCH(int, command);
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    ModalDriver driver({[&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        QVERIFY(box);
        text = box->text();
        icon = box->icon();
        box->button(QMessageBox::Ok)->click();
    }});
    m_dlg->commandAction(command)->trigger();
    QCOMPARE(driver.done(), std::size_t(1));
    QCOMPARE(text, QStringLiteral("The history is not available."));
    QCOMPARE(icon, QMessageBox::Information);
    QVERIFY(!m_dlg->historyWindow());
}

QTEST_MAIN(TestSondrelDlg)
#include "test_sondrel_dlg.moc"
