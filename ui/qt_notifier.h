#pragma once

#include <functional>
#include <memory>

#include <QString>

#include "base/notifier.h"

namespace sondrel {

// Message boxes on the GUI thread for the engine and its worker threads. A
// worker's call is posted to the GUI thread and the worker waits until the box
// is dismissed; a call on the GUI thread shows the box at once.
class QtNotifier final : public Notifier {
public:
    // Shows the capture-library-missing dialog; runs on the GUI thread.
    using CaptureLibraryDialog = std::function<void()>;
    // Shows a notice where the user sees it without having to answer (the
    // tray's balloon); false when it cannot. Runs on the GUI thread.
    using NoticeSink = std::function<bool(const QString& caption, const QString& text, MessageIcon icon)>;

    // Construct on the GUI thread, after the QApplication.
    explicit QtNotifier(CaptureLibraryDialog captureLibraryDialog);
    ~QtNotifier() override;

    QtNotifier(const QtNotifier&) = delete;
    QtNotifier& operator=(const QtNotifier&) = delete;

    void showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon icon) override;
    void showCaptureLibraryMissing() override;
    // Through the sink when it takes it, else in a box without owner; from any
    // thread, never waiting for the user.
    void showNotice(const std::u16string& caption, const std::u16string& text, MessageIcon icon) override;

    // GUI thread only.
    void setNoticeSink(NoticeSink sink);

    // On the GUI thread, before the QApplication goes: a worker still waiting
    // for a box returns, and later messages go to stderr. Workers may outlive
    // the application, since they are detached and hold this notifier.
    void close();

private:
    struct Shared;
    void runOnGuiThread(const std::function<void()>& job);

    std::shared_ptr<Shared> m_shared;
    CaptureLibraryDialog m_captureLibraryDialog;
};

}  // namespace sondrel
