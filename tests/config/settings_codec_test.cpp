#include "config/settings.h"

#include <gtest/gtest.h>

#include <optional>

#include "tests/config/test_address.h"

namespace sondrel {
namespace {

using test::ipv4;

// Hex escapes swallow every hex digit that follows, so the separator is spliced in.
const std::string kSep = "\xA0";

const std::uint32_t kDefaultAddress = ipv4(10, 0, 0, 7);
const std::u16string kDefaultFolder = u"/home/user";

Settings defaults() { return Settings{1, kDefaultFolder, kDefaultAddress}; }

void expectSettings(const Settings& actual, const Settings& expected) {
    EXPECT_EQ(actual.dailyReports, expected.dailyReports);
    EXPECT_EQ(actual.reportFolder, expected.reportFolder);
    EXPECT_EQ(actual.localAddress, expected.localAddress);
}

TEST(SwapSpaceHash, ExchangesSpacesAndHashesAndUndoesItself) {
    struct Row {
        const char* name;
        std::u16string in;
        std::u16string out;
    };
    const std::vector<Row> rows = {
        {"empty", u"", u""},
        {"neither", u"C:\\", u"C:\\"},
        {"spaces", u"C:\\My Reports", u"C:\\My#Reports"},
        {"hashes", u"/a#b#", u"/a b "},
        {"both", u" # ", u"# #"},
        {"other white space untouched", u"a\tb\u00A0c", u"a\tb\u00A0c"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::u16string text = row.in;
        SwapSpaceHash(text);
        EXPECT_EQ(text, row.out);
        SwapSpaceHash(text);
        EXPECT_EQ(text, row.in);
    }
}

TEST(SettingsFileEncoding, WritesTheExactBytes) {
    struct Row {
        const char* name;
        Settings settings;
        std::string bytes;
    };
    const std::vector<Row> rows = {
        {"worked example", {1, u"C:\\My Reports", ipv4(192, 168, 1, 10)}, "1 C:\\My#Reports 167" + kSep + "880" + kSep + "896"},
        {"ten-digit address", {1, u"C:\\", ipv4(10, 1, 168, 192)},
         "1 C:\\ 3" + kSep + "232" + kSep + "235" + kSep + "786"},
        {"flag off, zero address", {0, u"/srv/reports", 0}, "0 /srv/reports 0"},
        {"three digits have no separator", {1, u"/r", ipv4(231, 3, 0, 0)}, "1 /r 999"},
        {"four digits have one", {1, u"/r", ipv4(232, 3, 0, 0)}, "1 /r 1" + kSep + "000"},
        {"largest address", {1, u"/r", ipv4(255, 255, 255, 255)},
         "1 /r 4" + kSep + "294" + kSep + "967" + kSep + "295"},
        {"hash becomes a space", {1, u"/a#b", ipv4(5, 0, 0, 0)}, "1 /a b 5"},
        {"cyrillic folder", {1, u"/home/\u041E\u0442\u0447\u0451\u0442\u044B", ipv4(1, 0, 0, 0)},
         "1 /home/\xCE\xF2\xF7\xB8\xF2\xFB 1"},
        {"no-break space in folder", {1, u"/a\u00A0b", ipv4(1, 0, 0, 0)}, "1 /a" + kSep + "b 1"},
        {"character without a 1251 form keeps the address", {1, u"/tmp/\u65E5 x", ipv4(192, 168, 1, 10)},
         "1 /tmp/?#x 167" + kSep + "880" + kSep + "896"},
        {"folder ends at a NUL", {1, std::u16string(u"/a\0b", 4), ipv4(7, 0, 0, 0)}, "1 /a 7"},
        {"line feed in folder reaches the file as CR LF", {1, u"/a\nb", ipv4(7, 0, 0, 0)}, "1 /a\r\nb 7"},
        {"empty folder", {1, u"", ipv4(7, 0, 0, 0)}, "1  7"},
        {"negative flag", {-1, u"/r", ipv4(7, 0, 0, 0)}, "-1 /r 7"},
        {"large flag is grouped", {1234, u"/r", ipv4(7, 0, 0, 0)}, "1" + kSep + "234 /r 7"},
        {"smallest flag", {-2147483647 - 1, u"/r", 0}, "-2" + kSep + "147" + kSep + "483" + kSep + "648 /r 0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(encodeSettingsFile(row.settings), row.bytes);
    }
}

TEST(SettingsFileEncoding, WorkedExampleIsTwentySevenBytes) {
    EXPECT_EQ(encodeSettingsFile({1, u"C:\\My Reports", ipv4(192, 168, 1, 10)}).size(), 27u);
}

TEST(SettingsFileEncoding, OverlongFolderIsCut) {
    const std::u16string longFolder(kReportFolderCapacity + 10, u'a');
    const std::string bytes = encodeSettingsFile({1, longFolder, 0});
    EXPECT_EQ(bytes, "1 " + std::string(kReportFolderCapacity, 'a') + " 0");
}

TEST(SettingsFileDecoding, FollowsTheStreamOutcomes) {
    struct Row {
        const char* name;
        std::string bytes;
        Settings expected;
    };
    const std::vector<Row> rows = {
        {"worked example", "1 C:\\My#Reports 167" + kSep + "880" + kSep + "896", {1, u"C:\\My Reports", ipv4(192, 168, 1, 10)}},
        {"ten digits with separators", "0 C:\\ 3" + kSep + "232" + kSep + "235" + kSep + "786", {0, u"C:\\", ipv4(10, 1, 168, 192)}},
        {"ten digits without separators", "0 C:\\ 3232235786", {0, u"C:\\", ipv4(10, 1, 168, 192)}},
        {"separators in odd places", "1 /r 32" + kSep + "3" + kSep + "2235786", {1, u"/r", ipv4(10, 1, 168, 192)}},
        {"largest address", "1 /r 4294967295", {1, u"/r", ipv4(255, 255, 255, 255)}},
        {"address above 32 bits", "1 /r 4294967296", {1, u"/r", kDefaultAddress}},
        {"very long address number", "1 /r 99999999999999999999999999", {1, u"/r", kDefaultAddress}},
        {"address with plus", "1 /r +5", {1, u"/r", ipv4(5, 0, 0, 0)}},
        {"negative address", "1 /r -1", {1, u"/r", kDefaultAddress}},
        {"text after the address digits", "1 /r 12abc", {1, u"/r", ipv4(12, 0, 0, 0)}},
        {"line end after the address", "1 /r 12\r\n", {1, u"/r", ipv4(12, 0, 0, 0)}},
        {"empty file", "", {1, u"", kDefaultAddress}},
        {"white space only", " \t\r\n\v\f", {1, u"", kDefaultAddress}},
        {"first value not a number", "x C:\\ 5", {1, u"", kDefaultAddress}},
        {"sign without digits", "- C:\\ 5", {1, u"", kDefaultAddress}},
        {"flag above 32 bits", "2147483648 /r 5", {1, u"", kDefaultAddress}},
        {"smallest flag", "-2147483648 /r 5", {-2147483647 - 1, u"/r", ipv4(5, 0, 0, 0)}},
        {"flag with separator", "1" + kSep + "000 /r 5", {1000, u"/r", ipv4(5, 0, 0, 0)}},
        {"flag glued to folder", "1/r 5", {1, u"/r", ipv4(5, 0, 0, 0)}},
        {"ends after the flag", "0", {0, u"", kDefaultAddress}},
        {"ends after the flag and a space", "0 ", {0, u"", kDefaultAddress}},
        {"ends after the folder", "0 /data", {0, u"/data", kDefaultAddress}},
        {"ends after the folder and a space", "0 /data ", {0, u"/data", kDefaultAddress}},
        {"third value not a number", "0 /data abc", {0, u"/data", kDefaultAddress}},
        {"folder that held a hash", "1 /a b 167" + kSep + "880" + kSep + "896", {1, u"/a", kDefaultAddress}},
        {"tabs and line ends separate", "1\t/r\r\n5", {1, u"/r", ipv4(5, 0, 0, 0)}},
        {"runs of white space", "  1   /r \n\n 5", {1, u"/r", ipv4(5, 0, 0, 0)}},
        {"no-break space is not white space", kSep + "1 /r 5", {1, u"", kDefaultAddress}},
        {"no-break space inside folder", "1 /a" + kSep + "b 5", {1, u"/a\u00A0b", ipv4(5, 0, 0, 0)}},
        {"separator starts the address", "1 /r " + kSep + "5", {1, u"/r", kDefaultAddress}},
        {"separator ends the address", "1 /r 167" + kSep, {1, u"/r", kDefaultAddress}},
        {"separator then space", "1 /r 167" + kSep + " ", {1, u"/r", kDefaultAddress}},
        {"two separators", "1 /r 167" + kSep + kSep + "880", {1, u"/r", kDefaultAddress}},
        {"separator ends the flag", "1" + kSep + " /r 5", {1, u"", kDefaultAddress}},
        {"NUL cuts the folder, address still read", std::string("1 /a\0b 5", 8), {1, u"/a", ipv4(5, 0, 0, 0)}},
        {"folder starting with NUL", std::string("1 \0x 5", 6), {1, u"", ipv4(5, 0, 0, 0)}},
        {"NUL in place of the address", std::string("1 /r \0", 6), {1, u"/r", kDefaultAddress}},
        {"cyrillic folder", "1 /home/\xCE\xF2\xF7\xB8\xF2 5", {1, u"/home/\u041E\u0442\u0447\u0451\u0442", ipv4(5, 0, 0, 0)}},
        {"question mark written for a lost character", "1 /tmp/?#x 5", {1, u"/tmp/? x", ipv4(5, 0, 0, 0)}},
        {"file full of 0xFF", std::string(64, '\xFF'), {1, u"", kDefaultAddress}},
        {"0xFF after the flag", "0 " + std::string(8, '\xFF'), {0, std::u16string(8, u'\u044F'), kDefaultAddress}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Settings settings = defaults();
        decodeSettingsFile(row.bytes, settings);
        expectSettings(settings, row.expected);
    }
}

TEST(SettingsFileDecoding, OverlongFolderIsCutAndTheAddressStillRead) {
    Settings settings = defaults();
    decodeSettingsFile("1 " + std::string(kReportFolderCapacity + 904, 'a') + " 5", settings);
    expectSettings(settings, {1, std::u16string(kReportFolderCapacity, u'a'), ipv4(5, 0, 0, 0)});
}

// Every prefix of a valid file, as a write cut short would leave it.
TEST(SettingsFileDecoding, FileCutAtEveryByte) {
    const std::string file = "0 C:\\My#Reports 167" + kSep + "880" + kSep + "896";
    ASSERT_EQ(file.size(), 27u);
    struct Row {
        std::size_t length;
        std::int32_t flag;
        std::u16string folder;
        std::optional<std::uint32_t> addressNumber;  // nothing: the default stays
    };
    const std::u16string full = u"C:\\My Reports";
    const std::vector<Row> rows = {
        {0, 1, u"", {}},
        {1, 0, u"", {}},
        {2, 0, u"", {}},
        {3, 0, full.substr(0, 1), {}},
        {4, 0, full.substr(0, 2), {}},
        {5, 0, full.substr(0, 3), {}},
        {6, 0, full.substr(0, 4), {}},
        {7, 0, full.substr(0, 5), {}},
        {8, 0, u"C:\\My ", {}},
        {9, 0, u"C:\\My R", {}},
        {10, 0, full.substr(0, 8), {}},
        {11, 0, full.substr(0, 9), {}},
        {12, 0, full.substr(0, 10), {}},
        {13, 0, full.substr(0, 11), {}},
        {14, 0, full.substr(0, 12), {}},
        {15, 0, full, {}},
        {16, 0, full, {}},
        {17, 0, full, 1},
        {18, 0, full, 16},
        {19, 0, full, 167},
        {20, 0, full, {}},
        {21, 0, full, 1678},
        {22, 0, full, 16788},
        {23, 0, full, 167880},
        {24, 0, full, {}},
        {25, 0, full, 1678808},
        {26, 0, full, 16788089},
        {27, 0, full, 167880896},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("length " + std::to_string(row.length));
        Settings settings = defaults();
        decodeSettingsFile(std::string_view(file).substr(0, row.length), settings);
        EXPECT_EQ(settings.dailyReports, row.flag);
        EXPECT_EQ(settings.reportFolder, row.folder);
        if (row.addressNumber) {
            const std::uint32_t n = *row.addressNumber;
            EXPECT_EQ(settings.localAddress, ipv4(n & 0xFF, (n >> 8) & 0xFF, (n >> 16) & 0xFF, n >> 24));
        } else {
            EXPECT_EQ(settings.localAddress, kDefaultAddress);
        }
    }
}

TEST(SettingsFile, WrittenValuesReadBack) {
    const Settings rows[] = {
        {1, u"C:\\My Reports", ipv4(192, 168, 1, 10)},
        {0, u"/home/user/reports of the day", ipv4(10, 1, 168, 192)},
        {1, u"/home/\u041E\u0442\u0447\u0451\u0442\u044B/\u20AC\u00A0x", ipv4(255, 255, 255, 255)},
        {0, u"/r", 0},
        {1, std::u16string(kReportFolderCapacity, u'b'), ipv4(127, 0, 0, 1)},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        const Settings& row = rows[i];
        Settings settings = defaults();
        decodeSettingsFile(encodeSettingsFile(row), settings);
        expectSettings(settings, row);
    }
}

}  // namespace
}  // namespace sondrel
