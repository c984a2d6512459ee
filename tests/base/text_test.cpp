#include <gtest/gtest.h>

#include "base/text.h"

namespace sondrel {
namespace {

TEST(Utf8ToU16, ValidAndInvalidSequences) {
    const struct {
        const char* name;
        std::string in;
        std::u16string out;
    } rows[] = {
        {"ascii", "/usr/bin/ssh", u"/usr/bin/ssh"},
        {"two-byte", "\xC3\xA9", u"\u00E9"},
        {"three-byte", "\xE2\x82\xAC", u"\u20AC"},
        {"four-byte becomes a pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
        {"lone continuation", "a\x80" "b", u"a\uFFFDb"},
        {"truncated at end", "a\xE2\x82", u"a\uFFFD"},
        {"overlong", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"surrogate encoded", "\xED\xA0\x80", u"\uFFFD"},
        {"0xFF", "\xFF\xFF", u"\uFFFD\uFFFD"},
        {"NUL kept", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const auto& row : rows) EXPECT_EQ(utf8ToU16(row.in), row.out) << row.name;
}

TEST(U16ToUtf8, RoundTripAndLoneSurrogates) {
    const std::u16string text = u"caf\u00E9 \u20AC \U0001F600";
    EXPECT_EQ(utf8ToU16(u16ToUtf8(text)), text);
    EXPECT_EQ(u16ToUtf8(u"\xD800x"), "\xEF\xBF\xBDx");
}

TEST(VisibleText, EscapesWhatCouldHideOrReorderAName) {
    const struct {
        const char* name;
        std::u16string in;
        std::u16string out;
    } rows[] = {
        {"CR", u"a\rb", u"a\\x0db"},
        {"TAB", u"a\tb", u"a\\x09b"},
        {"ESC", u"\x1b[31mred", u"\\x1b[31mred"},
        {"NUL", std::u16string(u"a\0b", 3), u"a\\x00b"},
        {"DEL", u"a\x7f", u"a\\x7f"},
        {"C1 NEL", u"a\u0085b", u"a\\x85b"},
        {"C1 last", u"\u009F", u"\\x9f"},
        {"right-to-left override", u"evil\u202Etxt.exe", u"evil<U+202E>txt.exe"},
        {"isolate", u"\u2066x\u2069", u"<U+2066>x<U+2069>"},
        {"marks", u"\u200E\u200F\u061C", u"<U+200E><U+200F><U+061C>"},
        {"line and paragraph separators", u"a\u2028b\u2029", u"a<U+2028>b<U+2029>"},
        {"plain ASCII", u"/usr/bin/ssh -p 22", u"/usr/bin/ssh -p 22"},
        {"backslash kept", u"C:\\x1b", u"C:\\x1b"},
        {"no-break space and Latin-1 letters", u"\u00A0caf\u00E9", u"\u00A0caf\u00E9"},
        {"non-Latin letters", u"\u043F\u0440\u0438 \u05E9\u05DC\u05D5\u05DD \u4E2D",
         u"\u043F\u0440\u0438 \u05E9\u05DC\u05D5\u05DD \u4E2D"},
        {"emoji", u"\U0001F600", u"\U0001F600"},
        {"lone surrogate left to the UTF-8 writer", u"x\xD800", u"x\xD800"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(visibleText(row.in), row.out) << row.name;
        EXPECT_EQ(needsVisibleEscape(row.in), row.in != row.out) << row.name;
        EXPECT_EQ(visibleText(row.out), row.out) << row.name << ": a second pass changes nothing";
    }
}

TEST(TruncateUnits, NeverSplitsAPair) {
    EXPECT_EQ(truncateUnits(u"abc", 5), u"abc");
    EXPECT_EQ(truncateUnits(u"abc", 2), u"ab");
    EXPECT_EQ(truncateUnits(u"a\U0001F600", 2), u"a");
}

TEST(DecimalU16, SignedAndUnsigned) {
    EXPECT_EQ(decimalU16(std::uint64_t(0)), u"0");
    EXPECT_EQ(decimalU16(~std::uint64_t(0)), u"18446744073709551615");
    EXPECT_EQ(decimalU16(std::int64_t(-42)), u"-42");
    EXPECT_EQ(decimalU16(INT64_MIN), u"-9223372036854775808");
}

}  // namespace
}  // namespace sondrel
