#pragma once

#include <string>

namespace sondrel {

enum class MessageIcon { None, Error, Warning, Exclamation };

// How the engine and its worker threads raise a message box. The call blocks
// the calling thread until the user has dismissed the message, as a modal box
// would; implementations must be callable from any thread.
class Notifier {
public:
    virtual ~Notifier() = default;
    virtual void showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon icon) = 0;
    // The capture library could not be loaded; shown once per capture start.
    virtual void showCaptureLibraryMissing() = 0;
    // Tells the user something without waiting for an answer: the caller goes
    // on at once (a failed daily report must not hold up the next tick). By
    // default a message; notifiers whose messages wait for the user override it.
    virtual void showNotice(const std::u16string& caption, const std::u16string& text, MessageIcon icon) {
        showMessage(caption, text, icon);
    }
};

// Stands in before a window exists (and in headless tools): one line per message on stderr.
class StderrNotifier final : public Notifier {
public:
    void showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon icon) override;
    void showCaptureLibraryMissing() override;
};

}  // namespace sondrel
