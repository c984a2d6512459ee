#include "reports/report_writer.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "report_fixture.h"

namespace sondrel {
namespace {

using testing::PrintTo;
using testing::readBytes;
using testing::TempDir;

struct EncodingRow {
    const char* name;
    std::vector<std::u16string> writes;
    std::string bytes;
};

class ReportWriterEncoding : public ::testing::TestWithParam<EncodingRow> {};

TEST_P(ReportWriterEncoding, WritesOneCp1251BytePerCharacter) {
    const EncodingRow& row = GetParam();
    TempDir dir;
    const std::string path = dir.file("out.txt");
    {
        ReportWriter writer;
        ASSERT_TRUE(writer.open(path));
        for (const std::u16string& text : row.writes) writer.write(text);
        writer.close();
    }
    EXPECT_EQ(readBytes(path), row.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReportWriterEncoding,
    ::testing::Values(
        EncodingRow{"nothing", {}, ""},
        EncodingRow{"ascii_unchanged", {u"<html> 12 KB / 3 MB"}, "<html> 12 KB / 3 MB"},
        EncodingRow{"line_feed_becomes_cr_lf", {u"a\nb\n"}, "a\r\nb\r\n"},
        EncodingRow{"lone_cr_unchanged", {u"a\rb"}, "a\rb"},
        EncodingRow{"cr_lf_gets_second_cr", {u"a\r\n"}, "a\r\r\n"},
        EncodingRow{"cyrillic", {u"\u041F\u0440\u0438\u0432\u0435\u0442"}, "\xCF\xF0\xE8\xE2\xE5\xF2"},
        EncodingRow{"upper_half_symbols", {u"\u0401\u0451\u20AC\u2116"}, "\xA8\xB8\x88\xB9"},
        EncodingRow{"unmappable_becomes_question_mark_rest_kept", {u"a\u4E2Db", u"\nc"}, "a?b\r\nc"},
        EncodingRow{"surrogate_pair_is_one_question_mark", {u"x\U0001F600y"}, "x?y"},
        EncodingRow{"pieces_join_without_gaps", {u"Local port: ", u"TCP:1050", u"/ Remote port: ", u"TCP:80"},
                    "Local port: TCP:1050/ Remote port: TCP:80"}),
    [](const ::testing::TestParamInfo<EncodingRow>& info) { return std::string(info.param.name); });

TEST(ReportWriter, TruncatesALongerExistingFile) {
    TempDir dir;
    const std::string path = dir.file("old.html");
    std::ofstream(path, std::ios::binary) << std::string(5000, 'x');
    ReportWriter writer;
    ASSERT_TRUE(writer.open(path));
    writer.write(u"new");
    writer.close();
    EXPECT_EQ(readBytes(path), "new");
}

TEST(ReportWriter, KeepsEveryByteOfAReportLargerThanItsBuffer) {
    TempDir dir;
    const std::string path = dir.file("big.csv");
    std::string expected;
    {
        ReportWriter writer;
        ASSERT_TRUE(writer.open(path));
        for (int i = 0; i < 20000; ++i) {
            writer.write(u"D:\\Apps\\client.exe;" + decimalU16(std::uint64_t(i)) + u";\u0430\n");
            expected += "D:\\Apps\\client.exe;" + std::to_string(i) + ";\xE0\r\n";
        }
    }
    EXPECT_EQ(readBytes(path), expected);
}

TEST(ReportWriter, DestructorClosesAndFlushes) {
    TempDir dir;
    const std::string path = dir.file("scoped.txt");
    {
        ReportWriter writer;
        ASSERT_TRUE(writer.open(path));
        writer.write(u"kept\n");
    }
    EXPECT_EQ(readBytes(path), "kept\r\n");
}

struct OpenFailureRow {
    const char* name;
    std::string relativePath;
};

class ReportWriterOpenFailure : public ::testing::TestWithParam<OpenFailureRow> {};

TEST_P(ReportWriterOpenFailure, ReportsFalseAndIgnoresLaterWrites) {
    TempDir dir;
    std::ofstream(dir.file("plain-file"), std::ios::binary) << "x";
    std::filesystem::create_directory(dir.path() / "a-folder");
    const std::string path = dir.file(GetParam().relativePath);
    ReportWriter writer;
    EXPECT_FALSE(writer.open(path));
    EXPECT_FALSE(writer.isOpen());
    writer.write(u"ignored\n");
    writer.close();
    EXPECT_FALSE(std::filesystem::is_regular_file(path));
}

INSTANTIATE_TEST_SUITE_P(Rows, ReportWriterOpenFailure,
                         ::testing::Values(OpenFailureRow{"missing_folder", "no-such-folder/report.html"},
                                           OpenFailureRow{"folder_is_a_file", "plain-file/report.html"},
                                           OpenFailureRow{"path_is_a_folder", "a-folder"}),
                         [](const ::testing::TestParamInfo<OpenFailureRow>& info) {
                             return std::string(info.param.name);
                         });

// /dev/full accepts the open and fails every write, as a full disk does.
TEST(ReportWriter, FullDiskIsReportedByClose) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    for (const int lines : {1, 10000}) {
        ReportWriter writer;
        ASSERT_TRUE(writer.open("/dev/full"));
        for (int i = 0; i < lines; ++i) writer.write(u"0123456789abcdef\n");
        EXPECT_FALSE(writer.close()) << lines;
        EXPECT_EQ(writer.error(), ENOSPC) << lines;
        EXPECT_FALSE(writer.isOpen());
    }
}

}  // namespace
}  // namespace sondrel
