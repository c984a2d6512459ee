#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sondrel {

// ASCII-only widening; every byte above 0x7F becomes U+FFFD so callers never
// smuggle an unintended code page into UTF-16 text.
std::u16string asciiToU16(std::string_view text);

// UTF-8 to UTF-16. Each invalid or truncated sequence becomes one U+FFFD.
std::u16string utf8ToU16(std::string_view text);

// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD.
std::string u16ToUtf8(std::u16string_view text);

// Decimal text of an unsigned value, no grouping ("%u" / "%llu").
std::u16string decimalU16(std::uint64_t value);
// Decimal text of a signed value ("%d").
std::u16string decimalU16(std::int64_t value);

// Code-unit equality. std::char_traits<char16_t> compares unit by unit in a
// loop; this is one memcmp, which matters on the per-packet path.
inline bool sameText(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && (a.empty() || __builtin_memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0);
}

// Outside names (a program's path, a reverse-DNS answer) as they are shown:
// C0 and C1 controls and DEL become "\xHH" (ESC: "\x1b"), bidirectional
// formatting characters and the line and paragraph separators "<U+XXXX>"
// (U+202E: "<U+202E>"), so that nothing invisible, nothing that moves the
// cursor and nothing that reorders the text reaches a screen, a log or a
// report. Everything else, unpaired surrogates included, is kept. A backslash
// already in the name is left as it is: a literal "\x1b" typed into a name
// reads like an escaped ESC, an ambiguity accepted for a name that stays
// readable. The result has nothing left to replace, so a second pass changes
// nothing.
std::u16string visibleText(std::u16string_view text);
// True when visibleText would change the text.
bool needsVisibleEscape(std::u16string_view text);

// Cuts text to at most maxUnits UTF-16 code units without splitting a surrogate pair.
std::u16string truncateUnits(std::u16string text, std::size_t maxUnits);

}  // namespace sondrel
