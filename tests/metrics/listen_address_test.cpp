#include "metrics/listen_address.h"

#include <gtest/gtest.h>

namespace sondrel {
namespace {

TEST(ListenAddress, Table) {
    const struct {
        const char* input;
        const char* shown;  // empty: refused
    } rows[] = {
        {"127.0.0.1:9100", "127.0.0.1:9100"},
        {"0.0.0.0:80", "0.0.0.0:80"},
        {"localhost:9100", "127.0.0.1:9100"},
        {"9100", "127.0.0.1:9100"},
        {"[::1]:9100", "[::1]:9100"},
        {"[::]:65535", "[::]:65535"},
        {"[2001:DB8::0:1]:1", "[2001:db8::1]:1"},
        {":9100", ""},
        {"::1:9100", ""},
        {"[::1]", ""},
        {"[::1:9100", ""},
        {"[]:9100", ""},
        {"[127.0.0.1]:9100", ""},
        {"127.0.0.1:0", ""},
        {"127.0.0.1:65536", ""},
        {"127.0.0.1:+80", ""},
        {"127.0.0.1:", ""},
        {"127.1:9100", ""},
        {"example.org:9100", ""},
        {"[fe80::1%eth0]:9100", ""},
        {"", ""},
    };
    for (const auto& row : rows) {
        const ListenAddressParse parsed = parseListenAddress(row.input);
        if (*row.shown == '\0') {
            EXPECT_FALSE(parsed.address) << row.input;
            EXPECT_FALSE(parsed.error.empty()) << row.input;
        } else {
            ASSERT_TRUE(parsed.address) << row.input << ": " << parsed.error;
            EXPECT_EQ(parsed.address->text, row.shown) << row.input;
        }
    }
}

}  // namespace
}  // namespace sondrel
