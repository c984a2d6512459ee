#include "config/interface_choice.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace sondrel {
namespace {

// "if0,if1,...": that many distinct names.
std::string names(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += (i == 0 ? "if" : ",if") + std::to_string(i);
    return text;
}

TEST(InterfaceChoice, Decode) {
    const std::nullopt_t none = std::nullopt;
    const struct {
        const char* name;
        std::string bytes;
        std::optional<std::string> list;  // interfaceListText of the result
    } rows[] = {
        {"all", "all", "all"},
        {"names", "eth0,wg0", "eth0,wg0"},
        {"as written, with its newline", "eth0,wg0\n", "eth0,wg0"},
        {"CR LF and blanks at the end", "all\r\n \t\n", "all"},
        {"duplicates dropped", "wg0,eth0,wg0", "wg0,eth0"},
        {"longest name", "a23456789012345", "a23456789012345"},
        {"name too long", "a234567890123456", none},
        {"empty", "", none},
        {"only a newline", "\n", none},
        {"empty name", "eth0,,wg0", none},
        {"trailing comma", "eth0,", none},
        {"blank inside", "eth0, wg0", none},
        {"leading blank", " all", none},
        {"a second line", "eth0\nwg0", none},
        {"NUL byte", std::string("eth0\0", 5), none},
        {"All in capitals is a name", "All", "All"},
        {"as many names as a list holds", names(64), names(64)},
        {"one name more", names(65), none},
        {"junk", "\xFF\xFE/..", none},
    };
    for (const auto& row : rows) {
        const std::optional<CaptureSet> set = decodeInterfaceChoice(row.bytes);
        EXPECT_EQ(set ? std::optional(interfaceListText(*set)) : none, row.list) << row.name;
    }
}

}  // namespace
}  // namespace sondrel
