// libFuzzer target for the command line: the input split at NUL bytes into
// arguments, as the kernel hands them to main. Parsing is strict: whatever
// it accepts must make sense (a history range in order, a format chosen
// only with --history), and nothing may crash it.
#include <string_view>
#include <vector>

#include "app/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> arguments;
    for (std::size_t at = 0; at <= input.size() && arguments.size() < 32;) {
        const std::size_t end = std::min(input.find('\0', at), input.size());
        arguments.push_back(input.substr(at, end - at));
        at = end + 1;
    }
    const sondrel::CommandLine parsed = sondrel::parseCommandLine(arguments);
    if (!parsed.error.empty()) return 0;
    using Mode = sondrel::CommandLine::Mode;
    if (parsed.mode == Mode::History && parsed.historyFrom && parsed.historyTo &&
        *parsed.historyTo < *parsed.historyFrom)
        __builtin_trap();
    if (parsed.mode != Mode::History && parsed.mode != Mode::Help && (parsed.historyFrom || parsed.historyTo))
        __builtin_trap();
    if (parsed.mode == Mode::Headless && !parsed.qtArguments.empty()) __builtin_trap();
    return 0;
}
