#include "app/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace sondrel {
namespace {

using Mode = CommandLine::Mode;

struct Row {
    const char* name;
    std::vector<std::string_view> arguments;
    Mode mode;
    const char* metrics;  // the address as shown; empty: none
    std::size_t maxSeries;
    std::vector<std::string> qtArguments;
    const char* interfaces;  // as interfaceListText gives it; empty: none
};

TEST(CommandLine, Accepted) {
    const Row rows[] = {
        {"nothing: the window", {}, Mode::Window, "", 200, {}, ""},
        {"headless", {"--headless"}, Mode::Headless, "", 200, {}, ""},
        {"headless with metrics", {"--headless", "--metrics", "127.0.0.1:9100"}, Mode::Headless, "127.0.0.1:9100", 200, {}, ""},
        {"metrics with =", {"--metrics=[::1]:9100", "--headless"}, Mode::Headless, "[::1]:9100", 200, {}, ""},
        {"series limit", {"--metrics", "9100", "--metrics-max-applications", "50"}, Mode::Window, "127.0.0.1:9100", 50, {}, ""},
        {"series limit 0 with =", {"--metrics-max-applications=0", "--metrics", "9100"}, Mode::Window, "127.0.0.1:9100", 0, {}, ""},
        {"Qt options pass to the window",
         {"-platform", "offscreen", "--style", "fusion", "-reverse", "-stylesheet=a.qss"},
         Mode::Window, "", 200,
         {"-platform", "offscreen", "--style", "fusion", "-reverse", "-stylesheet=a.qss"}, ""},
        {"window with metrics and a Qt option",
         {"--metrics", "localhost:9100", "-platform", "xcb"}, Mode::Window, "127.0.0.1:9100", 200, {"-platform", "xcb"}, ""},
        {"all interfaces in the window", {"--interfaces", "all"}, Mode::Window, "", 200, {}, "all"},
        {"interface names headless, with =", {"--headless", "--interfaces=eth0,wg0"}, Mode::Headless, "", 200, {},
         "eth0,wg0"},
        {"interfaces with a Qt option", {"-platform", "xcb", "--interfaces", "wg0,wg0"}, Mode::Window, "", 200,
         {"-platform", "xcb"}, "wg0"},
        {"help wins", {"--headless", "--help", "--bogus"}, Mode::Help, "", 200, {}, ""},
        {"short help", {"-h"}, Mode::Help, "", 200, {}, ""},
    };
    for (const Row& row : rows) {
        const CommandLine parsed = parseCommandLine(row.arguments);
        EXPECT_EQ(parsed.error, "") << row.name;
        EXPECT_EQ(parsed.mode, row.mode) << row.name;
        EXPECT_EQ(parsed.metrics ? parsed.metrics->text : "", row.metrics) << row.name;
        EXPECT_EQ(parsed.maxApplicationSeries, row.maxSeries) << row.name;
        EXPECT_EQ(parsed.qtArguments, row.qtArguments) << row.name;
        EXPECT_EQ(parsed.interfaces ? interfaceListText(*parsed.interfaces) : "", row.interfaces) << row.name;
    }
}

TEST(CommandLine, HistoryTakesItsRangeFormatAndFile) {
    const std::vector<std::string_view> arguments = {"--history", "--to=2027-01-31", "--from", "2027-01-01",
                                                     "--format", "json", "--history-file", "/srv/h.sqlite"};
    const CommandLine parsed = parseCommandLine(arguments);
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.mode, CommandLine::Mode::History);
    EXPECT_EQ(parsed.historyFrom, parseHistoryDate("2027-01-01"));
    EXPECT_EQ(parsed.historyTo, std::optional<HistoryDay>(*parsed.historyFrom + 30));
    EXPECT_EQ(parsed.historyFormat, HistoryFormat::Json);
    EXPECT_EQ(parsed.historyFile, "/srv/h.sqlite");
}

TEST(CommandLine, Refused) {
    const struct {
        const char* name;
        std::vector<std::string_view> arguments;
    } rows[] = {
        {"unknown option", {"--verbose"}},
        {"unknown single-dash option", {"-x"}},
        {"stray argument", {"file.txt"}},
        {"metrics without a value", {"--metrics"}},
        {"metrics with a bad address", {"--metrics", "example.org:9100"}},
        {"metrics twice", {"--metrics", "9100", "--metrics", "9101"}},
        {"headless twice", {"--headless", "--headless"}},
        {"series limit without metrics", {"--metrics-max-applications", "5"}},
        {"series limit not a number", {"--metrics", "9100", "--metrics-max-applications", "-1"}},
        {"series limit too large", {"--metrics", "9100", "--metrics-max-applications", "1000001"}},
        {"series limit without a value", {"--metrics", "9100", "--metrics-max-applications"}},
        {"Qt option with headless", {"--headless", "-platform", "offscreen"}},
        {"Qt option without its value", {"-platform"}},
        {"Qt option in a form Qt does not read", {"-platform=offscreen"}},
        {"interfaces without a value", {"--interfaces"}},
        {"interfaces empty", {"--interfaces="}},
        {"interfaces with an empty name", {"--interfaces", "eth0,,wg0"}},
        {"interfaces with a name too long", {"--interfaces", "a23456789012345x"}},
        {"interfaces with a space", {"--headless", "--interfaces", "eth0, wg0"}},
        {"interfaces twice", {"--interfaces", "all", "--interfaces", "eth0"}},
        {"prefix of an option", {"--head"}},
        {"option glued to its prefix", {"--metricsx"}},
        {"history with headless", {"--history", "--headless"}},
        {"history with metrics", {"--history", "--metrics", "9100"}},
        {"from without history", {"--from", "2027-01-01"}},
        {"format without history", {"--format", "csv"}},
        {"a date out of the calendar", {"--history", "--from", "2027-02-29"}},
        {"to before from", {"--history", "--from", "2027-01-02", "--to", "2027-01-01"}},
        {"an unknown format", {"--history", "--format", "xml"}},
        {"history file empty", {"--history-file="}},
    };
    for (const auto& row : rows) {
        const CommandLine parsed = parseCommandLine(row.arguments);
        EXPECT_NE(parsed.error, "") << row.name;
    }
}

}  // namespace
}  // namespace sondrel
