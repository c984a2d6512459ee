#pragma once

#include <QDialog>
#include <QIcon>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>

#include "ui/app_image_list.h"
#include "engine/monitor.h"
#include "config/adapters.h"

class QAction;
class QMenu;
class QMenuBar;
class QSystemTrayIcon;
class QVBoxLayout;

namespace sondrel {

class CaptionBar;
class ListModelAdapter;
class ReportListView;
class SplashWindow;
class TrafficPanel;
class DialogUnits;
class HistoryWindow;

// Command ids of the menus, kept as the data of their actions.
enum SondrelCommand : int {
    kCmdAboutSystem = 16,
    kCmdExportHtml = 32771,
    kCmdHide = 32772,
    kCmdExit = 32773,
    kCmdHelpTopics = 32774,
    kCmdAbout = 32775,
    kCmdTrayShow = 32776,
    kCmdTrayExit = 32777,
    kCmdExportCsv = 32778,
    kCmdOptions = 32779,
    kCmdHistory = 32780,
    kCmdTrayHistory = 32781,
    kCmdDataCaps = 32782,
};

// What the main window takes from its surroundings; tests replace it.
struct SondrelDlgEnvironment {
    std::function<bool()> systemTrayAvailable;  // default: QSystemTrayIcon::isSystemTrayAvailable
    std::shared_ptr<const DesktopEntryIndex> desktopEntries;  // default: this session's
    std::function<std::vector<AdapterEntry>()> adapters;      // default: listAdapters
    int splashMilliseconds = 1000;
    int exitWaitMilliseconds = 500;
    // Off in widget tests: no capture thread and no owner discovery are started.
    bool startEngine = true;
};

// The main window: the two lists, the menus, the notification-area icon, the
// splash picture and the one-second tick over the Monitor. Closing it hides it;
// only "Exit" ends the program.
class CSondrelDlg final : public QDialog {
    Q_OBJECT

public:
    explicit CSondrelDlg(Monitor& monitor, SondrelDlgEnvironment environment = {}, QWidget* parent = nullptr);
    ~CSondrelDlg() override;

    // The start-up sequence: settings, splash, lists, tray icon, timer, engine.
    void OnInitDialog();

    // The one-second tick: the splash step, then the engine's tick.
    void OnTimer();

    // Command handlers, by menu id.
    void OnCommand(int id);
    void OnExportHtml();
    void OnExportCsv();
    void OnHide();
    void OnExit();
    void OnOptions();
    void OnHistory();
    void OnDataCaps();
    void OnHelpTopics();
    void OnAbout();
    void OnShowApplication();

    // A notice in the tray's balloon; false when there is no tray to show it.
    bool showTrayNotice(const QString& caption, const QString& text, MessageIcon icon);

    // For tests and the application object.
    QAction* commandAction(int id) const;
    QMenuBar* menuBar() const { return m_menuBar; }
    QMenu* trayMenu() const { return m_trayMenu; }
    QSystemTrayIcon* trayIcon() const { return m_trayIcon; }
    ReportListView* applicationsView() const { return m_applicationsView; }
    ReportListView* detailsView() const { return m_detailsView; }
    CaptionBar* applicationsCaption() const { return m_applicationsCaption; }
    CaptionBar* detailsCaption() const { return m_detailsCaption; }
    // The area below the menu bar that holds captions and lists.
    QWidget* contentArea() const { return m_content; }
    TrafficPanel* trafficPanel() const { return m_trafficPanel; }
    // Null until "History..." first opens it.
    HistoryWindow* historyWindow() const { return m_historyWindow; }
    bool splashShown() const { return m_splash != nullptr; }
    SplashWindow* splash() const { return m_splash.get(); }
    bool ticking() const { return m_timer.isActive(); }
    const AppImageList& imageList() const { return m_imageList; }
    Monitor& monitor() { return m_monitor; }

    // Asks the user for the file a report goes to; empty when cancelled. The
    // default is the save dialog; tests, which cannot answer one, replace it.
    using SavePathPrompt = std::function<QString(const QString& filter, const QString& suffix)>;
    void setSavePathPrompt(SavePathPrompt prompt) { m_askSavePath = std::move(prompt); }

signals:
    // The exit sequence has finished: the program should end now.
    void ended();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

public slots:
    void reject() override;
    void accept() override;

private:
    QAction* addCommand(QMenu* menu, const QString& text, int id);
    void buildMenus();
    void buildControls();
    void layOutControls(QSize contentSize);
    void buildTrayIcon();
    void hideOrMinimize();
    bool trayAvailable() const;
    void exportReport(const QString& filter, const QString& suffix, bool html);
    void applicationsClicked();
    void finishExit();
    // The graph and the status line under the lists, and the tray tooltip.
    void buildTrafficPanel(QVBoxLayout* layout, const DialogUnits& units);
    void showTrafficAndStatus();

    Monitor& m_monitor;
    SondrelDlgEnvironment m_environment;
    QIcon m_mainIcon;
    AppImageList m_imageList;
    QMenuBar* m_menuBar = nullptr;
    QMenu* m_trayMenu = nullptr;
    QSystemTrayIcon* m_trayIcon = nullptr;
    std::unique_ptr<SplashWindow> m_splash;
    int m_splashTicks = 0;
    QWidget* m_content = nullptr;
    CaptionBar* m_applicationsCaption = nullptr;
    CaptionBar* m_detailsCaption = nullptr;
    ReportListView* m_applicationsView = nullptr;
    ReportListView* m_detailsView = nullptr;
    std::unique_ptr<ListModelAdapter> m_applicationsModel;
    std::unique_ptr<ListModelAdapter> m_detailsModel;
    TrafficPanel* m_trafficPanel = nullptr;
    HistoryWindow* m_historyWindow = nullptr;
    QTimer m_timer;
    std::map<int, QAction*> m_actions;
    SavePathPrompt m_askSavePath;
    bool m_inTick = false;
    bool m_exiting = false;
};

}  // namespace sondrel
