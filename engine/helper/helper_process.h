#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "base/file_descriptor.h"

namespace sondrel {

inline constexpr const char* kCaptureHelperName = "sondrel-probe";
inline constexpr const char* kCaptureGroup = "sondrel";

inline constexpr const char* kHeadlessProgramName = "sondrel-headless";

// The program of this name beside this one, or in the libexec folder of its
// installation (<prefix>/libexec/sondrel/); never searched on PATH. Empty
// when neither exists.
std::string findCompanionProgram(const char* name);
inline std::string findCaptureHelper() { return findCompanionProgram(kCaptureHelperName); }

// A helper that was started: its process and the window's ends of its pipes.
struct HelperProcess {
    pid_t pid = -1;
    FileDescriptor commands;  // to the helper's standard input
    FileDescriptor events;    // from its standard output
};

// Starts the helper at `path` with no environment and only its two pipes.
// When exec fails, the child says why on the event pipe (an ExecFailed
// frame) and ends. nullopt when no pipe or process could be made.
std::optional<HelperProcess> spawnHelper(const std::string& path);
// Ends a helper at once: it is not to be believed any further.
void killHelper(pid_t pid);
// Waits for a helper to end and collects it; its wait status.
int reapHelper(pid_t pid);
// How a helper ended, from its wait status: "it exited with status 3",
// "it was killed by signal 9 (SIGKILL)".
std::string helperEndText(int waitStatus);

}  // namespace sondrel
