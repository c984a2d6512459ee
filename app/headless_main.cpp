// sondrel-headless: `sondrel --headless` without Qt. The window's program
// hands a headless run over to this one, which holds no Qt library.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "app/headless.h"

int main(int argc, char** argv) {
    const std::vector<std::string_view> arguments(argv + std::min(argc, 1), argv + argc);
    const sondrel::CommandLine commandLine = sondrel::parseCommandLine(arguments);
    if (!commandLine.error.empty() || commandLine.mode != sondrel::CommandLine::Mode::Headless) {
        const std::string error = commandLine.error.empty() ? "this program runs headless only" : commandLine.error;
        std::fprintf(stderr, "sondrel: %s\n\n%.*s", error.c_str(), int(sondrel::usageText().size()),
                     sondrel::usageText().data());
        return 2;
    }
    return sondrel::runHeadlessCommand(commandLine);
}
