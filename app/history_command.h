#pragma once

#include <string>

#include "app/command_line.h"

namespace sondrel {

// The history's file this run uses: --history-file, else the XDG data
// folder's (the service's unit points XDG_DATA_HOME at /var/lib). Empty when
// neither it nor HOME is known.
std::string historyFileFor(const CommandLine& commandLine);

// `sondrel --history ...`: the totals of the days asked for, printed on
// stdout; 0, or 1 with the reason on stderr (no file, unreadable, output failed).
int runHistoryCommand(const CommandLine& commandLine);

}  // namespace sondrel
