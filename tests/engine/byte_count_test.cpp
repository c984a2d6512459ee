#include <gtest/gtest.h>

#include "engine/main_lists.h"
#include "base/text.h"

namespace sondrel {
namespace {

struct FormatRow {
    const char* name;
    std::uint64_t count;
    std::u16string text;
};

TEST(FormatByteCount, UnitsAndTruncation) {
    const FormatRow rows[] = {
        {"zero", 0, u"0 B"},
        {"largest bytes", 1023, u"1023 B"},
        {"one kilobyte", 1024, u"1 KB"},
        {"truncated kilobytes", 1536, u"1 KB"},
        {"largest kilobytes", 1048575, u"1023 KB"},
        {"one megabyte", 1048576, u"1 MB"},
        {"a gibibyte stays megabytes", 1ull << 30, u"1024 MB"},
        {"just below 2^40", (1ull << 40) - 1, u"1048575 MB"},
        {"2^40 is one GB", 1ull << 40, u"1 GB"},
        {"five GB", 5ull << 40, u"5 GB"},
        {"largest counter", ~0ull, u"16777215 GB"},
    };
    for (const auto& row : rows) EXPECT_EQ(FormatByteCount(row.count), row.text) << row.name;
}

struct ParseRow {
    const char* name;
    std::u16string text;
    std::int64_t value;
};

TEST(ParseByteCount, LeadingNumberTimesUnitFoundAnywhere) {
    const ParseRow rows[] = {
        {"bytes", u"1023 B", 1023},
        {"kilobytes", u"2 KB", 2048},
        {"megabytes", u"3 MB", 3145728},
        {"GB is 2^40", u"5 GB", 5497558138880},
        {"4096 MB beyond 32 bits", u"4096 MB", 4294967296},
        {"no digits", u"KB", 0},
        {"empty", u"", 0},
        {"leading blanks and sign", u"  +7 KB", 7168},
        {"negative", u"-1 KB", -1024},
        {"GB wins over MB anywhere", u"1 MB GB", 1ll << 40},
        {"number only", u"42", 42},
        {"saturates at 32 bits", u"99999999999", 2147483647},
        {"digits after text ignored", u"x12 KB", 0},
    };
    for (const auto& row : rows) EXPECT_EQ(ParseByteCount(row.text), row.value) << row.name;
}

TEST(ParseByteCount, HugeProductsWrapWithoutUndefinedBehaviour) {
    EXPECT_EQ(std::uint64_t(ParseByteCount(u"2147483647 GB")), std::uint64_t(2147483647) << 40);
}

TEST(ParseByteCount, RoundTripsEveryFormattedUnitBoundary) {
    for (int shift = 0; shift < 63; ++shift) {
        const std::uint64_t v = 1ull << shift;
        const std::u16string text = FormatByteCount(v);
        const std::uint64_t back = std::uint64_t(ParseByteCount(text));
        EXPECT_LE(back, v) << shift;
        EXPECT_EQ(FormatByteCount(back), text) << shift;
    }
}

}  // namespace
}  // namespace sondrel
