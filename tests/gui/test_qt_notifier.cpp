#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <thread>

#include "app/qt_notifier.h"

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
    bool callerWaited = false;

private:
    void poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        ++boxes;
        caption = box->windowTitle();
        text = box->text();
        icon = box->icon();
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

QTEST_MAIN(TestQtNotifier)
#include "test_qt_notifier.moc"
