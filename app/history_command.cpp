#include "app/history_command.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>

#include "history/history_store.h"

namespace sondrel {

namespace {

std::string_view environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string_view(value) : std::string_view();
}

HistoryDay localToday() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return historyDayOf(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

}  // namespace

std::string historyFileFor(const CommandLine& commandLine) {
    if (!commandLine.historyFile.empty()) return commandLine.historyFile;
    return defaultHistoryPath(false, environment("XDG_DATA_HOME"), environment("HOME"));
}

int runHistoryCommand(const CommandLine& commandLine) {
    const std::string path = historyFileFor(commandLine);
    if (path.empty()) {
        std::fputs("sondrel: no history file: neither XDG_DATA_HOME nor HOME is set; give --history-file\n", stderr);
        return 1;
    }
    std::string whyNot;
    const std::unique_ptr<HistoryStore> store = HistoryStore::openForReading(path, whyNot);
    if (!store) {
        std::fprintf(stderr, "sondrel: %s\n", whyNot.c_str());
        return 1;
    }
    const HistoryDay today = localToday();
    HistoryRange range;
    range.last = commandLine.historyTo.value_or(commandLine.historyFrom.value_or(today));
    range.first = commandLine.historyFrom.value_or(range.last);
    const int status = printHistory(*store, range, commandLine.historyFormat, std::cout);
    std::cout.flush();
    if (status == 2) std::fputs("sondrel: --to is before --from\n", stderr);
    if (status == 1 || !std::cout) {
        std::fputs("sondrel: cannot write the history to standard output\n", stderr);
        return 1;
    }
    return status == 0 ? 0 : 1;
}

}  // namespace sondrel
