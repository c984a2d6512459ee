// Captions, icons and the main window's size under the real application
// object, on the offscreen screen its configuration file describes.
#include <QMessageBox>
#include <QScreen>
#include <QStyle>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>

#include "tests/support/in_process_sources.h"
#include "ui/qt_notifier.h"
#include "ui/sondrel_app.h"
#include "ui/sondrel_dlg.h"
#include "config/settings.h"
#include "ui/dialog_units.h"
#include "ui/dlg_get_pcap.h"

using namespace sondrel;

namespace {

// Whether the application has a display name of its own: without one,
// applicationDisplayName() follows applicationName().
bool displayNameSet() {
    const QString name = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(name + QStringLiteral("-probe"));
    const bool set = QGuiApplication::applicationDisplayName() != QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(name);
    return set;
}

// The caption the X11 and Wayland platforms put on a window: its title, with
// " — " and the display name appended unless the title already ends with it.
QString shownCaption(const QWidget& window) {
    const QString title = window.windowTitle();
    const QString displayName = QGuiApplication::applicationDisplayName();
    if (displayNameSet() && !title.endsWith(displayName))
        return title.isEmpty() ? displayName : title + QStringLiteral(" — ") + displayName;
    return title.isEmpty() ? QCoreApplication::applicationName() : title;
}

// Runs `job` on the next modal window to come up, from inside its event loop.
void onNextModal(const std::function<void(QWidget*)>& job) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, job] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            job(modal);
        }
    });
    timer->start(5);
}

}  // namespace

class TestCaptions : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void captionsAreExactlyTheirTexts();
    void ownerlessWindowsShowTheProgramIcon();
    void mainWindowFitsTheScreen();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Monitor> m_monitor;
    std::unique_ptr<CSondrelDlg> m_dlg;
};

void TestCaptions::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    MonitorServices services;
    services.makeSources = inProcessSources(m_dir->filePath("proc").toStdString());
    services.settingsFolder = m_dir->filePath("config").toStdString();
    services.settingsDefaults = std::make_shared<SettingsDefaults>(SettingsDefaults{u"/tmp", 0x0100C80Au});
    m_monitor = std::make_unique<Monitor>(std::move(services));
    SondrelDlgEnvironment environment;
    environment.adapters = [] { return std::vector<AdapterEntry>{{u"veth-test", "10.200.0.1"}}; };
    environment.splashMilliseconds = 0;
    environment.startEngine = false;
    m_dlg = std::make_unique<CSondrelDlg>(*m_monitor, environment);
    m_dlg->OnInitDialog();
    m_dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
}

void TestCaptions::cleanup() {
    m_dlg.reset();
    m_monitor.reset();
    m_dir.reset();
}

void TestCaptions::captionsAreExactlyTheirTexts() {
    QCOMPARE(shownCaption(*m_dlg), QStringLiteral("Sondrel"));

    QString options;
    onNextModal([&](QWidget* modal) {
        options = shownCaption(*modal);
        qobject_cast<QDialog*>(modal)->reject();
    });
    m_dlg->commandAction(kCmdOptions)->trigger();
    QCOMPARE(options, QStringLiteral("Options"));

    QString exportError;
    m_dlg->setSavePathPrompt([this](const QString&, const QString&) { return m_dir->filePath("missing/x.csv"); });
    onNextModal([&](QWidget* modal) {
        exportError = shownCaption(*modal);
        qobject_cast<QDialog*>(modal)->accept();
    });
    m_dlg->commandAction(kCmdExportCsv)->trigger();
    QCOMPARE(exportError, QStringLiteral("Error"));

    // The capture's narrow box, shown without an owner.
    QtNotifier notifier({});
    QString wrongInterface;
    QString text;
    onNextModal([&](QWidget* modal) {
        wrongInterface = shownCaption(*modal);
        text = qobject_cast<QMessageBox*>(modal)->text();
        qobject_cast<QDialog*>(modal)->accept();
    });
    notifier.showMessage(u"Error", u"Wrong interface!", MessageIcon::Error);
    QCOMPARE(text, QStringLiteral("Wrong interface!"));
    QCOMPARE(wrongInterface, QStringLiteral("Error"));
}

void TestCaptions::ownerlessWindowsShowTheProgramIcon() {
    const QIcon programIcon = QApplication::windowIcon();
    QVERIFY(!programIcon.isNull());
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), QStringLiteral("Wrong interface!"));
    DlgGetPCAP missingLibrary;
    QCOMPARE(box.windowIcon().cacheKey(), programIcon.cacheKey());
    QCOMPARE(missingLibrary.windowIcon().cacheKey(), programIcon.cacheKey());
}

// At 96 dpi the window has its specified size. At 144 dpi Qt scales by 1.5,
// so a 1280x800 screen offers 853x533 device-independent pixels, too few for
// it: the window then fits the screen instead.
void TestCaptions::mainWindowFitsTheScreen() {
    const QScreen* screen = m_dlg->screen();
    const QSize specified = DialogUnits(m_dlg->font()).size(500, 305);
    const int titleBar = m_dlg->style()->pixelMetric(QStyle::PM_TitleBarHeight);
    QVERIFY(m_dlg->height() + titleBar <= screen->availableGeometry().height());
    QVERIFY(m_dlg->width() <= screen->availableGeometry().width());
    if (screen->devicePixelRatio() == 1.0) {
        QCOMPARE(m_dlg->contentArea()->size(), specified);
    } else {
        QVERIFY(m_dlg->contentArea()->height() < specified.height());
    }
}

int main(int argc, char** argv) {
    CSondrelApp app(argc, argv);
    TestCaptions test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_captions.moc"
