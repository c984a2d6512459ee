#pragma once

#include <cstddef>
#include <string_view>

namespace sondrel {

// Splits off the next blank-separated field of a /proc table line; empty when
// the line is used up. Inlined by force: the socket tables are read every
// pass, and with several readers calling it the compiler stops inlining it
// (a busy server's tcp table then takes a quarter longer).
[[gnu::always_inline]] inline std::string_view nextField(std::string_view& line) {
    std::size_t start = 0;
    while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
    std::size_t end = start;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
    const std::string_view field = line.substr(start, end - start);
    line.remove_prefix(end);
    return field;
}

}  // namespace sondrel
