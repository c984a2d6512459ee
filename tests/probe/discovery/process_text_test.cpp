#include "probe/discovery/process_text.h"

#include <gtest/gtest.h>

#include <string>

namespace sondrel {
namespace {

using namespace std::string_literals;

TEST(ParseCmdlineFileName, TakesBaseNameOfFirstArgument) {
    const struct {
        const char* name;
        std::string cmdline;
        std::string expected;
    } rows[] = {
        {"absolute path with arguments", "/usr/bin/python3\0-m\0http.server\0"s, "python3"},
        {"bare name", "sshd\0-D\0"s, "sshd"},
        {"relative path", "./bin/server\0"s, "server"},
        {"no NUL after rewriting", "nginx: worker process", "nginx: worker process"},
        {"rewritten title with slash", "postgres: walwriter /data", "data"},
        {"empty", "", ""},
        {"empty first argument", "\0--flag\0"s, ""},
        {"trailing slash", "/opt/app/\0"s, ""},
        {"only a slash", "/\0"s, ""},
        {"utf-8 bytes kept", "/opt/\xc3\xa9t\xc3\xa9\0"s, "\xc3\xa9t\xc3\xa9"},
        {"invalid utf-8 kept as bytes", "/x/\xff\xfe\0"s, "\xff\xfe"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(parseCmdlineFileName(row.cmdline), row.expected) << row.name;
    }
}

TEST(ParseStatComm, TakesTextBetweenFirstOpenAndLastCloseParenthesis) {
    const struct {
        const char* name;
        std::string stat;
        std::optional<std::string_view> expected;
    } rows[] = {
        {"plain", "1234 (bash) S 1 1234 1234 0 -1 4194560", "bash"},
        {"blank inside", "88 (tmux: server) S 1", "tmux: server"},
        {"parentheses inside", "640 (kworker (odd)) S 2", "kworker (odd)"},
        {"close parenthesis then more", "7 (a) b) S 1", "a) b"},
        {"empty comm", "9 () S 1", ""},
        {"no parentheses", "9 bash S 1", std::nullopt},
        {"only open", "9 (bash S 1", std::nullopt},
        {"close before open", "9 )bash( S 1", std::nullopt},
        {"empty text", "", std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(parseStatComm(row.stat), row.expected) << row.name;
    }
}

TEST(ParseSocketLinkInode, ReadsOnlySocketLinks) {
    const struct {
        const char* name;
        std::string text;
        std::optional<std::uint64_t> expected;
    } rows[] = {
        {"socket", "socket:[123456]", 123456},
        {"largest inode", "socket:[18446744073709551615]", 18446744073709551615ull},
        {"inode beyond 64 bits", "socket:[18446744073709551616]", std::nullopt},
        {"pipe", "pipe:[123456]", std::nullopt},
        {"anonymous inode", "anon_inode:[eventfd]", std::nullopt},
        {"file path", "/dev/null", std::nullopt},
        {"file named like a socket", "/tmp/socket:[1]", std::nullopt},
        {"empty brackets", "socket:[]", std::nullopt},
        {"letters", "socket:[12a]", std::nullopt},
        {"sign", "socket:[+12]", std::nullopt},
        {"missing close bracket", "socket:[12", std::nullopt},
        {"trailing text", "socket:[12] ", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(parseSocketLinkInode(row.text), row.expected) << row.name;
    }
}

}  // namespace
}  // namespace sondrel
