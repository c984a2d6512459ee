#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/capture_set.h"
#include "history/history_text.h"
#include "metrics/exposition.h"
#include "metrics/listen_address.h"

namespace sondrel {

// What the command line asks for. Parsing is strict: an unknown option, a
// missing or bad value, an option given twice or a stray argument is an
// error (the caller prints it with the usage text and exits with status 2).
struct CommandLine {
    enum class Mode { Window, Headless, History, Help };
    Mode mode = Mode::Window;
    std::optional<ListenAddress> metrics;
    std::size_t maxApplicationSeries = kDefaultMaxApplicationSeries;
    // --interfaces: what this run captures instead of the settings' choice.
    std::optional<CaptureSet> interfaces;
    // Window only: Qt's own options (-platform offscreen, -style fusion ...)
    // with their values, in the order given, for the QApplication.
    std::vector<std::string> qtArguments;
    // Where the history lives instead of the XDG data folder's history.sqlite.
    std::string historyFile;
    // --history: the days to print (empty: today) and how.
    std::optional<HistoryDay> historyFrom;
    std::optional<HistoryDay> historyTo;
    HistoryFormat historyFormat = HistoryFormat::Table;
    std::string error;  // non-empty: the command line is wrong, and why
};

// The arguments after the program name.
//   --headless --interfaces eth0,wg0 --metrics 127.0.0.1:9100 --metrics-max-applications 50
//   --history --from 2027-01-01 --to 2027-01-31 --format csv
CommandLine parseCommandLine(std::span<const std::string_view> arguments);

// The text for --help and for usage errors.
std::string_view usageText();

}  // namespace sondrel
