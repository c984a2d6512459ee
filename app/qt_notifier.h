#pragma once

#include <functional>
#include <memory>

#include "base/notifier.h"

namespace sondrel {

// Message boxes on the GUI thread for the engine and its worker threads. A
// worker's call is posted to the GUI thread and the worker waits until the box
// is dismissed; a call on the GUI thread shows the box at once.
class QtNotifier final : public Notifier {
public:
    // Shows the capture-library-missing dialog; runs on the GUI thread.
    using CaptureLibraryDialog = std::function<void()>;

    // Construct on the GUI thread, after the QApplication.
    explicit QtNotifier(CaptureLibraryDialog captureLibraryDialog);
    ~QtNotifier() override;

    QtNotifier(const QtNotifier&) = delete;
    QtNotifier& operator=(const QtNotifier&) = delete;

    void showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon icon) override;
    void showCaptureLibraryMissing() override;

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
