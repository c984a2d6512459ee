#include "ui/qt_notifier.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QThread>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

namespace sondrel {

namespace {

QMessageBox::Icon boxIcon(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::Error: return QMessageBox::Critical;
    case MessageIcon::Warning:
    case MessageIcon::Exclamation: return QMessageBox::Warning;
    case MessageIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

// Set once the posted job has run or has been thrown away unrun (its receiver
// deleted by close()); either way the waiting worker may go on.
class Completion {
public:
    void set() {
        {
            const std::scoped_lock guard(m_mutex);
            m_done = true;
        }
        m_changed.notify_all();
    }
    void wait() {
        std::unique_lock guard(m_mutex);
        m_changed.wait(guard, [this] { return m_done; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_done = false;
};

class CompletionGuard {
public:
    explicit CompletionGuard(std::shared_ptr<Completion> completion) : m_completion(std::move(completion)) {}
    ~CompletionGuard() { m_completion->set(); }
    CompletionGuard(const CompletionGuard&) = delete;
    CompletionGuard& operator=(const CompletionGuard&) = delete;

private:
    std::shared_ptr<Completion> m_completion;
};

}  // namespace

struct QtNotifier::Shared {
    // Held shared while a job is posted, exclusively while closing, so that
    // the receiver is never used after close() has deleted it.
    std::shared_mutex gate;
    QObject* receiver = nullptr;  // lives on the GUI thread
    QThread* guiThread = nullptr;
    bool closed = false;
    StderrNotifier fallback;
    NoticeSink noticeSink;  // used on the GUI thread only
};

namespace {

void showNoticeOnGuiThread(const QtNotifier::NoticeSink& sink, const QString& caption, const QString& text,
                           MessageIcon icon) {
    if (sink && sink(caption, text, icon)) return;
    auto* box = new QMessageBox(boxIcon(icon), caption, text, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

}  // namespace

QtNotifier::QtNotifier(CaptureLibraryDialog captureLibraryDialog)
    : m_shared(std::make_shared<Shared>()), m_captureLibraryDialog(std::move(captureLibraryDialog)) {
    m_shared->receiver = new QObject;
    m_shared->guiThread = m_shared->receiver->thread();
}

QtNotifier::~QtNotifier() {
    if (QThread::currentThread() == m_shared->guiThread) {
        close();
        return;
    }
    const std::unique_lock guard(m_shared->gate);
    if (m_shared->closed) return;
    m_shared->closed = true;
    m_shared->receiver->deleteLater();
}

void QtNotifier::close() {
    const std::unique_lock guard(m_shared->gate);
    if (m_shared->closed) return;
    m_shared->closed = true;
    // Deleting the receiver discards its posted jobs, which releases their workers.
    delete m_shared->receiver;
    m_shared->receiver = nullptr;
}

void QtNotifier::runOnGuiThread(const std::function<void()>& job) {
    if (QThread::currentThread() == m_shared->guiThread) {
        job();
        return;
    }
    auto completion = std::make_shared<Completion>();
    {
        const std::shared_lock guard(m_shared->gate);
        if (m_shared->closed) return;
        auto signalOnDestruction = std::make_shared<CompletionGuard>(completion);
        QMetaObject::invokeMethod(
            m_shared->receiver, [job, done = std::move(signalOnDestruction)] { job(); }, Qt::QueuedConnection);
    }
    completion->wait();
}

// Without a display (the offscreen platform of a headless run) nobody sees a
// box: every message goes to stderr too.
static bool withoutDisplay() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

void QtNotifier::showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon icon) {
    if (withoutDisplay()) m_shared->fallback.showMessage(caption, text, icon);
    bool shown = false;
    runOnGuiThread([&] {
        QMessageBox box(boxIcon(icon), QString::fromStdU16String(caption), QString::fromStdU16String(text),
                        QMessageBox::Ok);
        // A box without owner blocks no other window, the tray icon included.
        box.setWindowModality(Qt::WindowModal);
        box.exec();
        shown = true;
    });
    if (!shown) m_shared->fallback.showMessage(caption, text, icon);
}

void QtNotifier::showCaptureLibraryMissing() {
    if (withoutDisplay()) m_shared->fallback.showCaptureLibraryMissing();
    bool shown = false;
    runOnGuiThread([&] {
        if (m_captureLibraryDialog) m_captureLibraryDialog();
        shown = true;
    });
    if (!shown) m_shared->fallback.showCaptureLibraryMissing();
}

void QtNotifier::setNoticeSink(NoticeSink sink) { m_shared->noticeSink = std::move(sink); }

void QtNotifier::showNotice(const std::u16string& caption, const std::u16string& text, MessageIcon icon) {
    const QString captionText = QString::fromStdU16String(caption);
    const QString bodyText = QString::fromStdU16String(text);
    const std::shared_lock guard(m_shared->gate);
    if (m_shared->closed) {
        m_shared->fallback.showNotice(caption, text, icon);
        return;
    }
    if (QThread::currentThread() == m_shared->guiThread) {
        showNoticeOnGuiThread(m_shared->noticeSink, captionText, bodyText, icon);
        return;
    }
    QMetaObject::invokeMethod(
        m_shared->receiver,
        [shared = m_shared, captionText, bodyText, icon] {
            showNoticeOnGuiThread(shared->noticeSink, captionText, bodyText, icon);
        },
        Qt::QueuedConnection);
}

}  // namespace sondrel
