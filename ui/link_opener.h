#pragma once

#include <functional>
#include <optional>

#include <QString>

namespace sondrel {

// The verdict on one open, given once: no value means the target was opened;
// otherwise the value is one of the reason codes of the hyperlink error table
// (hyperlink_error.h), so every way of opening reports the same messages.
using LinkVerdict = std::function<void(std::optional<int> failure)>;

// Hands a link target to the desktop and returns at once, without waiting for
// the desktop's answer: the verdict comes later from the event loop, or before
// returning when it is known without asking the desktop.
using LinkOpener = std::function<void(const QString& target, LinkVerdict verdict)>;

// Reason codes the desktop opener produces.
inline constexpr int kOpenFileNotFound = 2;
inline constexpr int kOpenAccessDenied = 5;
inline constexpr int kOpenNoAssociation = 31;
// xdg-open's own "the action failed"; shown as an unknown error with this number.
inline constexpr int kOpenActionFailed = 4;

// xdg-open's exit status as a reason code; no value for success.
//   0 -> opened
//   2 (a file named on the command line does not exist) -> 2
//   3 (a required tool, i.e. any handler for the target, was not found) -> 31
//   every other status s (1 syntax error, 4 action failed, ...) -> s, shown as
//   "Unknown Error (s)"; a status that would read as a known reason becomes 4.
std::optional<int> reasonForXdgOpenStatus(int exitStatus);

// A target that names a local file (a file: URL or a plain path) is checked
// before the desktop sees it, since xdg-open cannot tell a missing file from an
// unreadable one: missing -> 2, unreadable -> 5. No value for anything else.
std::optional<int> localTargetProblem(const QString& target);

// The default opener: starts xdg-open on the target and gives its exit status
// as the verdict when it ends. xdg-open missing from the system counts as "no
// application associated"; a handler still in the foreground after 15 s is
// taken as opened and left running. The GUI thread never waits for it.
void openWithDesktop(const QString& target, LinkVerdict verdict);

}  // namespace sondrel
