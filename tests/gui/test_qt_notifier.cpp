#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <thread>

#include "ui/qt_notifier.h"

using namespace sondrel;

namespace {

// Dismisses the first message box that comes up, noting what it showed and
// whether the caller was still waiting for it at that moment.
class BoxCloser {
public:
    explicit BoxCloser(const std::atomic<bool>* callerReturned = nullptr) : m_callerReturned(callerReturned) {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
        m_timer.start();
    }

    int boxes = 0;
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Qt::WindowModality modality = Qt::NonModal;
    bool callerWaited = false;

private:
    void poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        ++boxes;
        caption = box->windowTitle();
        text = box->text();
        icon = box->icon();
        modality = box->windowModality();
        callerWaited = m_callerReturned && !m_callerReturned->load();
        box->button(QMessageBox::Ok)->click();
    }

    const std::atomic<bool>* m_callerReturned;
    QTimer m_timer;
};

}  // namespace

class TestQtNotifier : public QObject {
    Q_OBJECT

private slots:
    void workerWaitsForTheBox_data();
    void workerWaitsForTheBox();
    void guiThreadShowsAtOnce();
    void captureLibraryDialogRunsOnTheGuiThread();
    void closeReleasesWorkers();
    void noticeNeverWaits();
};

void TestQtNotifier::workerWaitsForTheBox_data() {
    QTest::addColumn<int>("icon");
    QTest::addColumn<int>("boxIcon");
    QTest::newRow("error") << int(MessageIcon::Error) << int(QMessageBox::Critical);
    QTest::newRow("warning") << int(MessageIcon::Warning) << int(QMessageBox::Warning);
    QTest::newRow("exclamation") << int(MessageIcon::Exclamation) << int(QMessageBox::Warning);
    QTest::newRow("none") << int(MessageIcon::None) << int(QMessageBox::NoIcon);
}

void TestQtNotifier::workerWaitsForTheBox() {
    QFETCH(int, icon);
    QtNotifier notifier({});
    std::atomic<bool> returned{false};
    BoxCloser closer(&returned);
    std::thread worker([&] {
        notifier.showMessage(u"ERROR", u"Unable to open the adapter!\nno permission", MessageIcon(icon));
        returned = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(returned.load(), 20000);
    worker.join();
    QCOMPARE(closer.boxes, 1);
    QVERIFY(closer.callerWaited);
    QCOMPARE(closer.caption, QStringLiteral("ERROR"));
    QCOMPARE(closer.text, QStringLiteral("Unable to open the adapter!\nno permission"));
    QTEST(int(closer.icon), "boxIcon");
    // Without an owner it blocks no window, the tray icon's included.
    QCOMPARE(closer.modality, Qt::WindowModal);
}

void TestQtNotifier::guiThreadShowsAtOnce() {
    QtNotifier notifier({});
    BoxCloser closer;
    notifier.showMessage(u"Error", u"Can't create file!", MessageIcon::Error);
    QCOMPARE(closer.boxes, 1);
    QCOMPARE(closer.caption, QStringLiteral("Error"));
}

void TestQtNotifier::captureLibraryDialogRunsOnTheGuiThread() {
    QThread* dialogThread = nullptr;
    int shown = 0;
    QtNotifier notifier([&] {
        dialogThread = QThread::currentThread();
        ++shown;
    });
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        notifier.showCaptureLibraryMissing();
        returned = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(returned.load(), 20000);
    worker.join();
    QCOMPARE(shown, 1);
    QCOMPARE(dialogThread, QThread::currentThread());
}

void TestQtNotifier::closeReleasesWorkers() {
    auto notifier = std::make_shared<QtNotifier>(QtNotifier::CaptureLibraryDialog{});
    std::atomic<bool> started{false};
    std::atomic<bool> returned{false};
    std::thread waiting([&, notifier] {
        started = true;
        notifier->showMessage(u"Error", u"pending", MessageIcon::Error);
        returned = true;
    });
    while (!started.load()) std::this_thread::yield();
    // No event is processed here: the box is never shown, yet the worker must not hang.
    notifier->close();
    waiting.join();
    QVERIFY(returned.load());
    QVERIFY(!QApplication::activeModalWidget());

    std::thread late([notifier] { notifier->showMessage(u"Error", u"after close", MessageIcon::Error); });
    late.join();
    QCoreApplication::processEvents();
    QVERIFY(!QApplication::activeModalWidget());
}

// A notice from a worker returns before the GUI thread has even seen it; it
// goes to the sink (the tray) when that takes it, else to a box without owner
// that blocks nothing.
void TestQtNotifier::noticeNeverWaits() {
    QtNotifier notifier({});
    QStringList sunk;
    bool sinkTakes = true;
    notifier.setNoticeSink([&](const QString& caption, const QString& text, MessageIcon) {
        if (sinkTakes) sunk << caption + ": " + text;
        return sinkTakes;
    });
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        notifier.showNotice(u"Error", u"Can't write the daily report", MessageIcon::Error);
        returned = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!returned.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    const bool returnedUnanswered = returned.load();
    QTRY_VERIFY_WITH_TIMEOUT(returned.load(), 20000);
    worker.join();
    QVERIFY(returnedUnanswered);
    QTRY_COMPARE(sunk, QStringList{"Error: Can't write the daily report"});

    sinkTakes = false;
    notifier.showNotice(u"Error", u"no tray", MessageIcon::Error);
    QMessageBox* box = nullptr;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* candidate = qobject_cast<QMessageBox*>(window);
        if (candidate && candidate->isVisible() && candidate->text() == QStringLiteral("no tray")) box = candidate;
    }
    QVERIFY(box);
    QCOMPARE(box->windowTitle(), QStringLiteral("Error"));
    QVERIFY(!box->isModal());
    QVERIFY(!QApplication::activeModalWidget());
    box->close();
}

QTEST_MAIN(TestQtNotifier)
#include "test_qt_notifier.moc"
