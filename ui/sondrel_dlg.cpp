#include "ui/sondrel_dlg.h"

#include <QCloseEvent>
#include <QDate>
#include <QFile>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QResizeEvent>
#include <QScreen>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

#include "ui/caption_bar.h"
#include "ui/list_model_adapter.h"
#include "ui/report_list_view.h"
#include "ui/splash_window.h"
#include "engine/status_text.h"
#include "ui/traffic_panel.h"
#include "ui/dlg_opt.h"
#include "config/settings.h"
#include "ui/sondrel_resources.h"
#include "ui/about_dlg.h"
#include "ui/dialog_units.h"
#include "ui/help.h"
#include "ui/window_modal.h"
#include "ui/history_window.h"
#include "ui/history_date.h"
#include "ui/data_caps_dlg.h"
#include "config/data_caps.h"

namespace sondrel {

namespace {

QIcon loadMainIcon() {
    initSondrelResources();
    return mainIcon();
}

// The specified size of the area below the menu bar, in dialog units, and the
// least it may be shrunk to while the lists still show a few rows.
constexpr int kContentWidth = 500;
constexpr int kContentHeight = 305;
constexpr int kMinimumContentWidth = 250;
constexpr int kMinimumContentHeight = 150;
// The two lists share any height beyond the specified one in proportion to theirs.
constexpr int kApplicationsListHeight = 150;
constexpr int kDetailsListHeight = 115;

constexpr int kTrayNoticeMilliseconds = 15000;

// The columns' intended widths are pixels for a font whose base unit (four
// dialog units across) is this wide.
constexpr double kColumnWidthBaseUnit = 6.0;

// Both lists span the content area from 7 to 493 dialog units, and take any extra width.
int listLeft(const DialogUnits& units) { return units.x(7); }
int listRight(const DialogUnits& units, int contentWidth) {
    return units.x(493) + contentWidth - units.x(kContentWidth);
}

// Hands every resize to the window's own layout of captions and lists.
class ContentArea final : public QWidget {
public:
    ContentArea(QWidget* parent, std::function<void(QSize)> layOut) : QWidget(parent), m_layOut(std::move(layOut)) {
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    }

protected:
    void resizeEvent(QResizeEvent* event) override { m_layOut(event->size()); }

private:
    std::function<void(QSize)> m_layOut;
};

QSystemTrayIcon::MessageIcon trayIconFor(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::Error: return QSystemTrayIcon::Critical;
    case MessageIcon::Warning:
    case MessageIcon::Exclamation: return QSystemTrayIcon::Warning;
    case MessageIcon::None: break;
    }
    return QSystemTrayIcon::NoIcon;
}

}  // namespace

CSondrelDlg::CSondrelDlg(Monitor& monitor, SondrelDlgEnvironment environment, QWidget* parent)
    : QDialog(parent), m_monitor(monitor), m_environment(std::move(environment)), m_mainIcon(loadMainIcon()),
      m_imageList(genericAppIcon(), protocolIcon(),
                  m_environment.desktopEntries ? m_environment.desktopEntries : sessionDesktopEntries()) {
    setWindowTitle(QStringLiteral("Sondrel"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    m_askSavePath = [this](const QString& filter, const QString& suffix) {
        QFileDialog dialog(this);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setNameFilter(filter);
        dialog.setDefaultSuffix(suffix);
        if (execWindowModal(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
        return dialog.selectedFiles().front();
    };
    buildMenus();
    buildControls();
    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &CSondrelDlg::OnTimer);
}

CSondrelDlg::~CSondrelDlg() {
    // The lists outlive this window inside the Monitor; they must not call back
    // into freed adapters or into this window's image list.
    m_monitor.lists().setIconChooser([](const std::u16string&) { return AppIconKind::Generic; });
    if (m_applicationsView) m_applicationsView->setAdapter(nullptr);
    if (m_detailsView) m_detailsView->setAdapter(nullptr);
}

QAction* CSondrelDlg::addCommand(QMenu* menu, const QString& text, int id) {
    QAction* action = menu->addAction(text);
    action->setData(id);
    // Keep every command where the menus put it, whatever its text looks like.
    action->setMenuRole(QAction::NoRole);
    connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
    m_actions[id] = action;
    return action;
}

void CSondrelDlg::buildMenus() {
    m_menuBar = new QMenuBar(this);
    QMenu* file = m_menuBar->addMenu(QStringLiteral("File"));
    addCommand(file, QStringLiteral("Export as HTML..."), kCmdExportHtml);
    addCommand(file, QStringLiteral("Export as CSV..."), kCmdExportCsv);
    file->addSeparator();
    addCommand(file, QStringLiteral("Hide"), kCmdHide);
    addCommand(file, QStringLiteral("Exit"), kCmdExit);
    QMenu* view = m_menuBar->addMenu(QStringLiteral("View"));
    addCommand(view, QStringLiteral("History..."), kCmdHistory);
    QMenu* options = m_menuBar->addMenu(QStringLiteral("Options"));
    addCommand(options, QStringLiteral("Options..."), kCmdOptions);
    addCommand(options, QStringLiteral("Data caps..."), kCmdDataCaps);
    QMenu* help = m_menuBar->addMenu(QStringLiteral("Help"));
    addCommand(help, QStringLiteral("Help topics"), kCmdHelpTopics);
    addCommand(help, QStringLiteral("About..."), kCmdAbout);
    // The window-menu entry of other desktops; where the platform has an
    // application menu (macOS), the About role moves it there.
    help->addSeparator();
    addCommand(help, QStringLiteral("&About Sondrel..."), kCmdAboutSystem)->setMenuRole(QAction::AboutRole);
}

void CSondrelDlg::buildControls() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setMenuBar(m_menuBar);

    m_content = new ContentArea(this, [this](QSize size) { layOutControls(size); });
    m_applicationsCaption = new CaptionBar(QStringLiteral("Applications"), m_content);
    m_applicationsView = new ReportListView(m_content);
    m_applicationsView->setObjectName(QStringLiteral("applications"));
    m_detailsCaption = new CaptionBar(QStringLiteral("Details"), m_content);
    m_detailsView = new ReportListView(m_content);
    m_detailsView->setObjectName(QStringLiteral("details"));
    layout->addWidget(m_content);
    const DialogUnits units(font());
    buildTrafficPanel(layout, units);

    // The specified size follows the font through dialog units (the traffic
    // panel below the lists adds its own height); a screen too small for it
    // (large fonts on a small screen) gets a window that fits.
    m_content->setMinimumSize(units.size(kMinimumContentWidth, kMinimumContentHeight));
    QSize wanted = units.size(kContentWidth, kContentHeight) +
                   QSize(0, m_menuBar->sizeHint().height() + m_trafficPanel->sizeHint().height());
    if (const QScreen* where = screen()) {
        const int frame = style()->pixelMetric(QStyle::PM_TitleBarHeight);
        wanted = wanted.boundedTo(where->availableGeometry().size() - QSize(0, frame));
    }
    resize(wanted);

    connect(m_applicationsView, &ReportListView::listClicked, this, &CSondrelDlg::applicationsClicked);
    connect(m_applicationsView, &ReportListView::headerClicked, this,
            [this](int column) { m_monitor.lists().sortApplications(std::size_t(column)); });
    connect(m_detailsView, &ReportListView::headerClicked, this,
            [this](int column) { m_monitor.lists().sortDetails(std::size_t(column)); });
}

void CSondrelDlg::layOutControls(QSize contentSize) {
    const DialogUnits units(font());
    const QSize specified = units.size(kContentWidth, kContentHeight);
    const int extraHeight = contentSize.height() - specified.height();
    const int extraApplications = extraHeight * kApplicationsListHeight / (kApplicationsListHeight + kDetailsListHeight);
    // From the edges rather than position plus size, so that rounding never
    // lets a caption overlap the list below it.
    const int left = listLeft(units);
    const int right = listRight(units, contentSize.width());
    const auto place = [&](QWidget* widget, int top, int bottom) {
        widget->setGeometry(QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)));
    };
    place(m_applicationsCaption, units.y(6), units.y(16));
    place(m_applicationsView, units.y(16), units.y(166) + extraApplications);
    place(m_detailsCaption, units.y(173) + extraApplications, units.y(183) + extraApplications);
    place(m_detailsView, units.y(183) + extraApplications, units.y(298) + extraHeight);
}

void CSondrelDlg::OnInitDialog() {
    setWindowIcon(m_mainIcon);
    m_monitor.loadSettings();

    m_splashTicks = 0;
    m_splash = std::make_unique<SplashWindow>(splashPicture(), this);
    m_splash->showFor(m_environment.splashMilliseconds);

    MainLists& lists = m_monitor.lists();
    m_applicationsModel = std::make_unique<ListModelAdapter>(lists.applications());
    m_applicationsModel->setImageSource([this](int image) { return m_imageList.image(image); });
    lists.setIconChooser(m_imageList.chooser());
    m_applicationsView->setAdapter(m_applicationsModel.get());
    m_detailsModel = std::make_unique<ListModelAdapter>(lists.details());
    m_detailsView->setAdapter(m_detailsModel.get());
    // For the window's size as it opens: the content area spans its width.
    const DialogUnits units(font());
    const int listWidth = listRight(units, width()) - listLeft(units);
    for (ReportListView* view : {m_applicationsView, m_detailsView})
        view->fitColumns(listWidth, units.x(4) / kColumnWidthBaseUnit);
    connect(m_applicationsModel.get(), &ListModelAdapter::selectedRowChanged, m_trafficPanel,
            [this] { m_trafficPanel->showTraffic(m_monitor.lists()); });

    buildTrayIcon();
    showTrafficAndStatus();

    m_timer.start();
    if (m_environment.startEngine) m_monitor.start();
}

void CSondrelDlg::buildTrayIcon() {
    m_trayMenu = new QMenu(QStringLiteral("Tray menu"), this);
    QAction* show = addCommand(m_trayMenu, QStringLiteral("Show application"), kCmdTrayShow);
    QFont bold = show->font();
    bold.setBold(true);
    show->setFont(bold);
    m_trayMenu->setDefaultAction(show);
    m_trayMenu->addSeparator();
    addCommand(m_trayMenu, QStringLiteral("History..."), kCmdTrayHistory);
    addCommand(m_trayMenu, QStringLiteral("Exit"), kCmdTrayExit);

    if (m_mainIcon.isNull()) {
        showWindowModalBox(this, QMessageBox::Information, QStringLiteral("Sondrel"),
                           QStringLiteral("Can't load icon"));
        return;
    }
    m_trayIcon = new QSystemTrayIcon(m_mainIcon, this);
    m_trayIcon->setToolTip(QStringLiteral("Sondrel"));
    m_trayIcon->setContextMenu(m_trayMenu);
    connect(m_trayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) OnShowApplication();
    });
    m_trayIcon->show();
}

bool CSondrelDlg::showTrayNotice(const QString& caption, const QString& text, MessageIcon icon) {
    if (!trayAvailable() || !QSystemTrayIcon::supportsMessages()) return false;
    m_trayIcon->showMessage(caption, text, trayIconFor(icon), kTrayNoticeMilliseconds);
    return true;
}

void CSondrelDlg::OnTimer() {
    // A message box raised during a tick runs its own event loop, in which
    // this timer fires again; that tick must wait for the first to finish.
    if (m_inTick || m_exiting) return;
    m_inTick = true;
    if (m_splashTicks == 1) {
        m_splash.reset();
    } else {
        ++m_splashTicks;
    }
    m_monitor.tick();
    showTrafficAndStatus();
    m_inTick = false;
}

void CSondrelDlg::OnCommand(int id) {
    switch (id) {
    case kCmdExportHtml: OnExportHtml(); break;
    case kCmdExportCsv: OnExportCsv(); break;
    case kCmdHide: OnHide(); break;
    case kCmdExit:
    case kCmdTrayExit: OnExit(); break;
    case kCmdOptions: OnOptions(); break;
    case kCmdHistory:
    case kCmdTrayHistory: OnHistory(); break;
    case kCmdDataCaps: OnDataCaps(); break;
    case kCmdHelpTopics: OnHelpTopics(); break;
    case kCmdAbout:
    case kCmdAboutSystem: OnAbout(); break;
    case kCmdTrayShow: OnShowApplication(); break;
    default: break;
    }
}

QAction* CSondrelDlg::commandAction(int id) const {
    const auto it = m_actions.find(id);
    return it == m_actions.end() ? nullptr : it->second;
}

void CSondrelDlg::applicationsClicked() {
    const QModelIndexList rows = m_applicationsView->selectionModel()->selectedRows();
    MainLists& lists = m_monitor.lists();
    lists.applications().setSelectedRow(rows.isEmpty() ? std::nullopt
                                                        : std::optional<std::size_t>(rows.front().row()));
    lists.FillDetails();
}

void CSondrelDlg::exportReport(const QString& filter, const QString& suffix, bool html) {
    const QString path = m_askSavePath ? m_askSavePath(filter, suffix) : QString();
    if (path.isEmpty()) return;
    const std::string localPath = QFile::encodeName(path).toStdString();
    const bool written = html ? m_monitor.exportHtml(localPath) : m_monitor.exportCsv(localPath);
    if (!written) {
        showWindowModalBox(this, QMessageBox::Critical, QStringLiteral("Error"), QStringLiteral("Can't create file!"));
    }
}

void CSondrelDlg::OnExportHtml() { exportReport(QStringLiteral("HTML files(*.html)"), QStringLiteral("html"), true); }

void CSondrelDlg::OnExportCsv() { exportReport(QStringLiteral("CSV files(*.csv)"), QStringLiteral("csv"), false); }

bool CSondrelDlg::trayAvailable() const {
    if (!m_trayIcon) return false;
    return m_environment.systemTrayAvailable ? m_environment.systemTrayAvailable()
                                             : QSystemTrayIcon::isSystemTrayAvailable();
}

void CSondrelDlg::hideOrMinimize() {
    // Without a notification area a hidden window could never be brought back.
    if (trayAvailable()) {
        hide();
    } else {
        showMinimized();
    }
}

void CSondrelDlg::OnHide() { hideOrMinimize(); }

void CSondrelDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (!m_exiting) hideOrMinimize();
}

void CSondrelDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

void CSondrelDlg::reject() {}

void CSondrelDlg::accept() {}

void CSondrelDlg::OnShowApplication() {
    if (isMinimized()) setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void CSondrelDlg::OnExit() {
    if (m_exiting) return;
    m_exiting = true;
    m_timer.stop();
    m_monitor.stop();
    // The pause lets capture and discovery see their flags fall before the
    // window goes; the event loop keeps painting meanwhile.
    QTimer::singleShot(m_environment.exitWaitMilliseconds, this, &CSondrelDlg::finishExit);
}

void CSondrelDlg::finishExit() {
    if (m_trayIcon) {
        m_trayIcon->hide();
        delete m_trayIcon;
        m_trayIcon = nullptr;
    }
    m_splash.reset();
    hide();
    emit ended();
}

void CSondrelDlg::OnOptions() {
    const Settings& current = m_monitor.settings();
    CDlgOpt dialog(current.dailyReports != 0, current.reportFolder, m_monitor.captureSet(),
                   m_environment.adapters ? m_environment.adapters() : listAdapters(), this);
    if (execWindowModal(dialog) != QDialog::Accepted) return;
    if (!m_monitor.applyOptions(dialog.captureChoice(), dialog.dailyReports() ? 1 : 0, dialog.reportFolder()))
        showWindowModalBox(this, QMessageBox::Critical, QString::fromStdU16String(kSaveSettingsFailedCaption),
                           QString::fromStdU16String(kSaveSettingsFailedText));
}

void CSondrelDlg::OnHistory() {
    const HistoryView* history = m_monitor.history();
    if (!history) {
        showWindowModalBox(this, QMessageBox::Information, QStringLiteral("Sondrel"),
                           QStringLiteral("The history is not available."));
        return;
    }
    if (!m_historyWindow) m_historyWindow = new HistoryWindow(*history, &QDate::currentDate, this);
    if (m_historyWindow->isMinimized()) m_historyWindow->showNormal();
    // Shown again, it reads the history again; already shown, Refresh does.
    m_historyWindow->show();
    m_historyWindow->raise();
    m_historyWindow->activateWindow();
}

void CSondrelDlg::OnDataCaps() {
    // The names of this month so far, offered in each row's application box.
    QStringList applications;
    if (const HistoryView* history = m_monitor.history()) {
        const QDate today = QDate::currentDate();
        const HistoryRange month{historyDayFromDate(QDate(today.year(), today.month(), 1)), historyDayFromDate(today)};
        for (const ApplicationTotal& app : history->applications(month))
            applications << QString::fromStdU16String(app.name);
        applications.sort(Qt::CaseInsensitive);
    }
    DataCapsDlg dialog(loadDataCaps(m_monitor.settingsFolder()), applications, this);
    if (execWindowModal(dialog) != QDialog::Accepted) return;
    if (!saveDataCaps(m_monitor.settingsFolder(), dialog.caps()))
        showWindowModalBox(this, QMessageBox::Critical, QStringLiteral("Error"),
                           QStringLiteral("The data caps could not be saved."));
    m_monitor.setDataCaps(dialog.caps());
}

void CSondrelDlg::buildTrafficPanel(QVBoxLayout* layout, const DialogUnits& units) {
    m_trafficPanel = new TrafficPanel(this);
    m_trafficPanel->setContentsMargins(units.x(7), 0, units.x(7), units.y(4));
    layout->addWidget(m_trafficPanel);
}

void CSondrelDlg::showTrafficAndStatus() {
    MainLists& lists = m_monitor.lists();
    m_trafficPanel->showTraffic(lists);
    const CaptureStatus status = m_monitor.captureStatus();
    const ByteRate total = lists.rates().totalRate();
    m_trafficPanel->showStatus(captureStatusText(status, total));
    if (!m_trayIcon) return;
    const QString tip = QString::fromStdU16String(trayToolTipText(status, total));
    // Some notification areas redraw the whole icon on every new tooltip.
    if (tip != m_trayIcon->toolTip()) m_trayIcon->setToolTip(tip);
}

void CSondrelDlg::OnHelpTopics() { ShowHelpTopics(this); }

void CSondrelDlg::OnAbout() { ShowAboutBox(this); }

}  // namespace sondrel
