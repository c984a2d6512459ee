#include "probe/discovery/process_text.h"

#include <algorithm>
#include <charconv>

namespace sondrel {

// "/usr/bin/python3\0-m\0http.server\0"
std::string_view parseCmdlineFileName(std::string_view cmdline) {
    const std::string_view argv0 = cmdline.substr(0, cmdline.find('\0'));
    const std::size_t slash = argv0.rfind('/');
    return slash == std::string_view::npos ? argv0 : argv0.substr(slash + 1);
}

// "1234 (tmux: server) S 1 1234 1234 0 -1 4194560 ..."
std::optional<std::string_view> parseStatComm(std::string_view stat) {
    const std::size_t open = stat.find('(');
    const std::size_t close = stat.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) return std::nullopt;
    return stat.substr(open + 1, close - open - 1);
}

// "1234 (my prog) S 1 1234 1234 0 -1 4194560 100 0 0 0 5 3 0 0 20 0 1 0 98765 ..."
std::optional<std::uint64_t> parseStatStartTicks(std::string_view stat) {
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = stat.substr(close + 1);
    // Fields 3 (state) to 22 (starttime) follow the comm.
    for (int field = 3; field <= 22; ++field) {
        const std::size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(start);
        const std::size_t end = std::min(rest.find(' '), rest.size());
        if (field == 22) {
            std::uint64_t ticks = 0;
            const auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + end, ticks);
            if (end == 0 || ec != std::errc() || ptr != rest.data() + end) return std::nullopt;
            return ticks;
        }
        rest.remove_prefix(end);
    }
    return std::nullopt;
}

// "socket:[123456]"
std::optional<std::uint64_t> parseSocketLinkInode(std::string_view linkText) {
    constexpr std::string_view kPrefix = "socket:[";
    if (!linkText.starts_with(kPrefix) || !linkText.ends_with(']')) return std::nullopt;
    const std::string_view digits = linkText.substr(kPrefix.size(), linkText.size() - kPrefix.size() - 1);
    std::uint64_t inode = 0;
    const char* end = digits.data() + digits.size();
    const auto [ptr, ec] = std::from_chars(digits.data(), end, inode);
    if (digits.empty() || ec != std::errc() || ptr != end) return std::nullopt;
    return inode;
}

}  // namespace sondrel
