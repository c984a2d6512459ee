#pragma once

#include <string>
#include <string_view>

namespace sondrel {

// Every file the program writes or reads holds its text as single bytes of the
// Cyrillic code page 1251, without a byte-order mark, whatever the user's
// locale, so a file reads back the same on any machine.

// UTF-16 to code page 1251. A code point without a 1251 form (a surrogate pair
// counts as one code point, an unpaired surrogate as one) is written as "?" so
// that the rest of the text still reaches the file; *replaced, when given, is
// set to whether that happened.
std::string encodeCp1251(std::u16string_view text, bool* replaced = nullptr);
// Same, appending to `out` (reusing its capacity) and returning whether a
// replacement happened.
bool appendCp1251(std::string& out, std::u16string_view text);

// Code page 1251 to UTF-16. Total: the one byte the code page leaves
// unassigned, 0x98, becomes U+0098, so decoding never fails and
// encodeCp1251(decodeCp1251(b)) == b for every byte string b.
std::u16string decodeCp1251(std::string_view bytes);

// What a text-mode writer does to line ends: every LF becomes CR LF, also one
// that already follows a CR.
std::string lfToCrLf(std::string_view bytes);

}  // namespace sondrel
