#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "app/engine_metrics.h"
#include "app/headless.h"
#include "app/history_command.h"
#include "engine/helper/helper_process.h"
#include "ui/sondrel_app.h"
#include "metrics/metrics_server.h"

namespace {

bool set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

bool platformArgument(const std::vector<std::string>& qtArguments) {
    for (const std::string& argument : qtArguments)
        if (argument == "-platform" || argument == "--platform") return true;
    return false;
}

int usageError(const std::string& error) {
    std::fprintf(stderr, "sondrel: %s\n\n%.*s", error.c_str(), int(sondrel::usageText().size()),
                 sondrel::usageText().data());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> arguments(argv + std::min(argc, 1), argv + argc);
    const sondrel::CommandLine commandLine = sondrel::parseCommandLine(arguments);
    if (!commandLine.error.empty()) return usageError(commandLine.error);
    if (commandLine.mode == sondrel::CommandLine::Mode::Help) {
        std::fwrite(sondrel::usageText().data(), 1, sondrel::usageText().size(), stdout);
        return 0;
    }

    if (commandLine.mode == sondrel::CommandLine::Mode::History) return sondrel::runHistoryCommand(commandLine);
    if (commandLine.mode == sondrel::CommandLine::Mode::Headless) {
        // Without a window, Qt's libraries are only memory held: the Qt-free
        // program takes over this process. Where it is missing, this one runs headless.
        const std::string headless = sondrel::findCompanionProgram(sondrel::kHeadlessProgramName);
        if (!headless.empty()) execv(headless.c_str(), argv);
        return sondrel::runHeadlessCommand(commandLine);
    }

    // The port is taken before anything else starts, so that a taken or
    // foreign address ends the program at once with the reason.
    std::optional<sondrel::MetricsServer> metrics;
    if (commandLine.metrics) {
        metrics.emplace(*commandLine.metrics);
        if (const std::string error = metrics->listen(); !error.empty()) {
            std::fprintf(stderr, "sondrel: cannot serve metrics on %s: %s\n", metrics->addressText().c_str(),
                         error.c_str());
            return 1;
        }
    }

    // Without a display Qt aborts with a long plug-in message; say what is wrong instead.
    if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM") &&
        !platformArgument(commandLine.qtArguments)) {
        std::fputs("sondrel: no display: set DISPLAY or WAYLAND_DISPLAY, or run sondrel --headless\n", stderr);
        return 1;
    }
    // Qt sees its own options only; it keeps pointers into this for its lifetime.
    std::vector<std::string> qtArguments{argc > 0 ? argv[0] : "sondrel"};
    qtArguments.insert(qtArguments.end(), commandLine.qtArguments.begin(), commandLine.qtArguments.end());
    std::vector<char*> qtArgv;
    for (std::string& argument : qtArguments) qtArgv.push_back(argument.data());
    qtArgv.push_back(nullptr);
    int qtArgc = int(qtArguments.size());

    sondrel::CSondrelApp app(qtArgc, qtArgv.data());
    if (commandLine.interfaces) app.overrideInterfaces(*commandLine.interfaces);
    app.keepHistoryIn(sondrel::historyFileFor(commandLine));
    if (metrics) {
        const std::size_t maxApplicationSeries = commandLine.maxApplicationSeries;
        app.serveMetrics(&*metrics, [maxApplicationSeries](sondrel::Monitor& monitor) {
            return sondrel::engineMetricsSource(monitor, maxApplicationSeries);
        });
    }
    return app.InitInstance();
}
