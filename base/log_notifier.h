#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "base/notifier.h"

namespace sondrel {

// For a program without a window (headless mode, a service): every message
// that would be a box becomes one line with the local time, and the call
// returns at once, as nobody is there to dismiss it.
//   2027-02-01 00:00:05 sondrel: Error: Wrong interface!
class LogNotifier final : public Notifier {
public:
    // Receives each line, newline included; called from any thread, one line at a time.
    using LineSink = std::function<void(const std::string& line)>;

    explicit LogNotifier(std::shared_ptr<const Clock> clock, LineSink sink = {});  // default: stderr

    void showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon icon) override;
    void showCaptureLibraryMissing() override;
    // A line of the program's own ("running", "stopping"), with the same time stamp.
    void log(std::string_view text);

private:
    std::shared_ptr<const Clock> m_clock;
    std::mutex m_lock;
    LineSink m_sink;
};

// "YYYY-MM-DD hh:mm:ss sondrel: " and the text on one line: line breaks and
// other control characters of the text become spaces, so that a log reader
// (the journal among them) sees one entry per message.
std::string logLine(const std::optional<LocalTime>& time, std::string_view text);

}  // namespace sondrel
