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
