#pragma once

#include <string>

#include "probe/discovery/process_snapshot.h"

namespace sondrel {

constexpr std::size_t kMaxLabelPathUnits = 359;
constexpr std::size_t kMaxLabelFileNameUnits = 259;

// The OwnerLabel of a process, the application's identity in the statistics,
// tried in this order:
//  1. the full path of its executable (the " (deleted)" mark of a replaced
//     binary left off), at most 359 UTF-16 units;
//  2. the executable file name the snapshot lists, when the path cannot be
//     read (another user's process without privileges), at most 259 units,
//     unless it reads like a protocol's label ("UDP protocol");
//  3. "Process ID# <pid>" otherwise.
// Names are decoded from UTF-8; invalid bytes become U+FFFD.
std::u16string LookupProcessLabel(const ProcessSnapshot& snapshot, int pid);

}  // namespace sondrel
