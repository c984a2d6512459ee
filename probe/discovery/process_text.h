#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace sondrel {

// Base name of argv[0] in the text of /proc/<pid>/cmdline. A process that
// rewrote its arguments may leave no NUL at all: then the whole text is argv[0].
// Empty when argv[0] is empty or ends in '/'.
std::string_view parseCmdlineFileName(std::string_view cmdline);

// The comm field of /proc/<pid>/stat: the text between the first '(' and the
// last ')', since comm itself may hold parentheses and blanks. nullopt when the
// text has no such pair.
std::optional<std::string_view> parseStatComm(std::string_view stat);

// The starttime field (22nd) of /proc/<pid>/stat: clock ticks after boot at
// which the process started. Counted from the last ')' so a comm with blanks
// or parentheses cannot shift it; nullopt when the text is cut short.
std::optional<std::uint64_t> parseStatStartTicks(std::string_view stat);

// Inode of an fd link text of the form "socket:[12345]"; nullopt for any other
// kind of file or a malformed number.
std::optional<std::uint64_t> parseSocketLinkInode(std::string_view linkText);

}  // namespace sondrel
