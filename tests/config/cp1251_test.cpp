#include "config/cp1251.h"

#include <gtest/gtest.h>

#include <set>

namespace sondrel {
namespace {

TEST(Cp1251, EveryByteDecodesToADistinctCharacterAndEncodesBack) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    const std::u16string decoded = decodeCp1251(all);
    ASSERT_EQ(decoded.size(), 256u);
    EXPECT_EQ(std::set<char16_t>(decoded.begin(), decoded.end()).size(), 256u);
    bool replaced = true;
    EXPECT_EQ(encodeCp1251(decoded, &replaced), all);
    EXPECT_FALSE(replaced);
}

TEST(Cp1251, KnownCharactersHaveTheirBytes) {
    struct Row {
        const char* name;
        std::u16string text;
        std::string bytes;
    };
    const Row rows[] = {
        {"ascii path", u"C:\\My Reports", "C:\\My Reports"},
        {"capital A", u"\u0410", "\xC0"},
        {"capital YA", u"\u042F", "\xDF"},
        {"small a", u"\u0430", "\xE0"},
        {"small ya", u"\u044F", "\xFF"},
        {"capital YO", u"\u0401", "\xA8"},
        {"small yo", u"\u0451", "\xB8"},
        {"word", u"\u041E\u0442\u0447\u0451\u0442", "\xCE\xF2\xF7\xB8\xF2"},
        {"no-break space", u"\u00A0", "\xA0"},
        {"euro sign", u"\u20AC", "\x88"},
        {"DJE", u"\u0402", "\x80"},
        {"numero sign", u"\u2116", "\xB9"},
        {"GHE with upturn", u"\u0490", "\xA5"},
        {"em dash", u"\u2014", "\x97"},
        {"trade mark", u"\u2122", "\x99"},
        {"unassigned byte", u"\u0098", "\x98"},
        {"small dzhe", u"\u045F", "\x9F"},
        {"NUL", std::u16string(1, u'\0'), std::string(1, '\0')},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        bool replaced = true;
        EXPECT_EQ(encodeCp1251(row.text, &replaced), row.bytes);
        EXPECT_FALSE(replaced);
        EXPECT_EQ(decodeCp1251(row.bytes), row.text);
    }
}

TEST(Cp1251, CharactersWithoutAFormBecomeQuestionMarks) {
    struct Row {
        const char* name;
        std::u16string text;
        std::string bytes;
    };
    const Row rows[] = {
        {"e acute", u"caf\u00E9", "caf?"},
        {"C1 control 0x80", u"\u0080", "?"},
        {"CJK", u"/tmp/\u65E5\u672C", "/tmp/??"},
        {"surrogate pair is one character", u"a\U0001F600b", "a?b"},
        {"lone high surrogate", std::u16string{u'a', char16_t(0xD800), u'b'}, "a?b"},
        {"lone low surrogate", std::u16string{char16_t(0xDC00), u'b'}, "?b"},
        {"high surrogate at the end", std::u16string{u'a', char16_t(0xDBFF)}, "a?"},
        {"replacement character", u"\uFFFD", "?"},
        {"mapped around unmapped", u"\u0410\u00E9\u0411", "\xC0?\xC1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        bool replaced = false;
        EXPECT_EQ(encodeCp1251(row.text, &replaced), row.bytes);
        EXPECT_TRUE(replaced);
        EXPECT_EQ(encodeCp1251(row.text), row.bytes);
    }
}

TEST(Cp1251, AppendKeepsWhatIsAlreadyThere) {
    std::string out = "x=";
    EXPECT_FALSE(appendCp1251(out, u"\u0430"));
    EXPECT_TRUE(appendCp1251(out, u"\u00E9"));
    EXPECT_EQ(out, "x=\xE0?");
}

TEST(Cp1251, LineFeedsBecomeCrLf) {
    struct Row {
        const char* name;
        std::string in;
        std::string out;
    };
    const Row rows[] = {
        {"empty", "", ""},
        {"no line feed", "a;b", "a;b"},
        {"one line", "a\n", "a\r\n"},
        {"two lines", "a\nb\n", "a\r\nb\r\n"},
        {"blank lines", "\n\n", "\r\n\r\n"},
        {"existing CR LF gains a CR", "a\r\n", "a\r\r\n"},
        {"lone CR stays", "a\rb", "a\rb"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(lfToCrLf(row.in), row.out);
    }
}

}  // namespace
}  // namespace sondrel
