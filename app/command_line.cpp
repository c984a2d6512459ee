#include "app/command_line.h"

namespace sondrel {

namespace {

constexpr std::size_t kMaxApplicationSeriesLimit = 1'000'000;

// The standard options of Qt applications (QGuiApplication and QApplication),
// accepted with one dash or two as Qt does. A few also take "=value".
struct QtOption {
    std::string_view name;
    bool takesValue;
    bool equalsForm;
};
constexpr QtOption kQtOptions[] = {
    {"platform", true, false},     {"platformpluginpath", true, false}, {"platformtheme", true, false},
    {"plugin", true, false},       {"qwindowgeometry", true, false},    {"qwindowicon", true, false},
    {"qwindowtitle", true, false}, {"session", true, false},            {"display", true, false},
    {"geometry", true, false},     {"style", true, true},               {"stylesheet", true, true},
    {"qmljsdebugger", true, true}, {"reverse", false, false},           {"widgetcount", false, false},
    {"nograb", false, false},      {"dograb", false, false},            {"sync", false, false},
};

const QtOption* findQtOption(std::string_view name) {
    for (const QtOption& option : kQtOptions) {
        if (option.name == name) return &option;
    }
    return nullptr;
}

std::optional<std::size_t> parseCount(std::string_view text) {
    if (text.empty() || text.size() > 7) return std::nullopt;
    std::size_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + std::size_t(c - '0');
    }
    if (value > kMaxApplicationSeriesLimit) return std::nullopt;
    return value;
}

class Parser {
public:
    explicit Parser(std::span<const std::string_view> arguments) : m_arguments(arguments) {}

    CommandLine parse() {
        bool headless = false;
        bool history = false;
        std::optional<HistoryFormat> format;
        std::optional<std::size_t> maxSeries;
        while (m_next < m_arguments.size() && m_result.error.empty()) {
            const std::string_view argument = m_arguments[m_next++];
            if (argument == "-h" || argument == "--help") {
                m_result.mode = CommandLine::Mode::Help;
                return m_result;
            }
            if (argument == "--headless") {
                if (headless) return fail("--headless given twice");
                headless = true;
            } else if (argument == "--history") {
                if (history) return fail("--history given twice");
                history = true;
            } else if (isOption(argument, "--from") || isOption(argument, "--to")) {
                const bool from = isOption(argument, "--from");
                const std::string_view name = from ? "--from" : "--to";
                std::optional<HistoryDay>& day = from ? m_result.historyFrom : m_result.historyTo;
                if (day) return fail(std::string(name) + " given twice");
                const std::optional<std::string_view> value = optionValue(argument, name, "a date (YYYY-MM-DD)");
                if (!value) return m_result;
                day = parseHistoryDate(*value);
                if (!day) return fail(std::string(name) + " needs a date as YYYY-MM-DD, got \"" + std::string(*value) + "\"");
            } else if (isOption(argument, "--format")) {
                if (format) return fail("--format given twice");
                const std::optional<std::string_view> value = optionValue(argument, "--format", "table, csv or json");
                if (!value) return m_result;
                format = parseHistoryFormat(*value);
                if (!format) return fail("--format needs table, csv or json, got \"" + std::string(*value) + "\"");
            } else if (isOption(argument, "--history-file")) {
                if (!m_result.historyFile.empty()) return fail("--history-file given twice");
                const std::optional<std::string_view> value = optionValue(argument, "--history-file", "FILE");
                if (!value) return m_result;
                if (value->empty()) return fail("--history-file needs a file name");
                m_result.historyFile = std::string(*value);
            } else if (isOption(argument, "--metrics")) {
                if (m_result.metrics) return fail("--metrics given twice");
                const std::optional<std::string_view> value = optionValue(argument, "--metrics", "HOST:PORT");
                if (!value) return m_result;
                ListenAddressParse address = parseListenAddress(*value);
                if (!address.address) return fail("--metrics: " + address.error);
                m_result.metrics = std::move(address.address);
            } else if (isOption(argument, "--interfaces")) {
                if (m_result.interfaces) return fail("--interfaces given twice");
                const std::optional<std::string_view> value = optionValue(argument, "--interfaces", "all or NAME[,NAME...]");
                if (!value) return m_result;
                m_result.interfaces = parseInterfaceList(*value);
                if (!m_result.interfaces) {
                    return fail("--interfaces needs all or interface names separated by commas, got \"" +
                                std::string(*value) + "\"");
                }
            } else if (isOption(argument, "--metrics-max-applications")) {
                if (maxSeries) return fail("--metrics-max-applications given twice");
                const std::optional<std::string_view> value = optionValue(argument, "--metrics-max-applications", "N");
                if (!value) return m_result;
                maxSeries = parseCount(*value);
                if (!maxSeries) {
                    return fail("--metrics-max-applications needs a number from 0 to " +
                                std::to_string(kMaxApplicationSeriesLimit) + ", got \"" + std::string(*value) + "\"");
                }
            } else if (!qtOption(argument)) {
                if (!m_result.error.empty()) return m_result;
                if (argument.starts_with('-')) return fail("unknown option \"" + std::string(argument) + "\"");
                return fail("unexpected argument \"" + std::string(argument) + "\"");
            }
        }
        if (!m_result.error.empty()) return m_result;
        if (maxSeries && !m_result.metrics) return fail("--metrics-max-applications needs --metrics");
        if (maxSeries) m_result.maxApplicationSeries = *maxSeries;
        if (history) {
            if (headless) return fail("--history and --headless cannot be given together");
            if (m_result.metrics || m_result.interfaces) return fail("--history prints what was counted: it captures nothing");
            if (!m_result.qtArguments.empty()) {
                return fail("\"" + m_result.qtArguments.front() + "\" is an option of the window, not of --history");
            }
            if (m_result.historyFrom && m_result.historyTo && *m_result.historyTo < *m_result.historyFrom)
                return fail("--to is before --from");
            if (format) m_result.historyFormat = *format;
            m_result.mode = CommandLine::Mode::History;
            return m_result;
        }
        if (m_result.historyFrom || m_result.historyTo || format) return fail("--from, --to and --format need --history");
        if (headless) {
            if (!m_result.qtArguments.empty()) {
                return fail("\"" + m_result.qtArguments.front() + "\" is an option of the window, not of --headless");
            }
            m_result.mode = CommandLine::Mode::Headless;
        }
        return m_result;
    }

private:
    static bool isOption(std::string_view argument, std::string_view name) {
        return argument == name || (argument.starts_with(name) && argument.size() > name.size() && argument[name.size()] == '=');
    }

    // "--name value" or "--name=value"; empty (and the error set) when the value is missing.
    std::optional<std::string_view> optionValue(std::string_view argument, std::string_view name, std::string_view what) {
        if (argument.size() > name.size()) return argument.substr(name.size() + 1);
        if (m_next < m_arguments.size()) return m_arguments[m_next++];
        fail(std::string(name) + " needs " + std::string(what));
        return std::nullopt;
    }

    // True when the argument is a Qt option (its value taken along); false
    // otherwise, with the error set when it is one but its value is missing.
    bool qtOption(std::string_view argument) {
        std::string_view name = argument;
        if (name.starts_with("--")) {
            name.remove_prefix(2);
        } else if (name.starts_with('-')) {
            name.remove_prefix(1);
        } else {
            return false;
        }
        const std::size_t equals = name.find('=');
        const QtOption* option = findQtOption(name.substr(0, equals));
        if (option == nullptr) return false;
        if (equals != std::string_view::npos) {
            if (!option->equalsForm) return false;
            m_result.qtArguments.emplace_back(argument);
            return true;
        }
        m_result.qtArguments.emplace_back(argument);
        if (option->takesValue) {
            if (m_next >= m_arguments.size()) {
                fail(std::string(argument) + " needs a value");
                return false;
            }
            m_result.qtArguments.emplace_back(m_arguments[m_next++]);
        }
        return true;
    }

    CommandLine fail(std::string error) {
        m_result.error = std::move(error);
        return m_result;
    }

    std::span<const std::string_view> m_arguments;
    std::size_t m_next = 0;
    CommandLine m_result;
};

}  // namespace

CommandLine parseCommandLine(std::span<const std::string_view> arguments) { return Parser(arguments).parse(); }

std::string_view usageText() {
    return "usage: sondrel [--interfaces LIST] [--metrics HOST:PORT [--metrics-max-applications N]]\n"
           "               [Qt options]\n"
           "       sondrel --headless [--interfaces LIST]\n"
           "               [--metrics HOST:PORT [--metrics-max-applications N]]\n"
           "       sondrel --history [--from DATE] [--to DATE] [--format table|csv|json]\n"
           "All of them take --history-file FILE.\n"
           "\n"
           "  --headless      run without a window: count, write the daily reports as\n"
           "                  configured and print every message on stderr; ends on\n"
           "                  SIGTERM or SIGINT\n"
           "  --interfaces all | NAME[,NAME...]\n"
           "                  capture every interface that is up, or the interfaces of\n"
           "                  these names as they come and go, instead of the configured\n"
           "                  one; for this run only\n"
           "  --metrics HOST:PORT\n"
           "                  serve Prometheus metrics at http://HOST:PORT/metrics; HOST is\n"
           "                  an IPv4 address, an IPv6 address in brackets or localhost;\n"
           "                  a PORT alone listens on 127.0.0.1\n"
           "  --metrics-max-applications N\n"
           "                  at most N applications get series of their own (default 200);\n"
           "                  the others are summed\n"
           "  --history       print each application's totals of the days from --from\n"
           "                  to --to (YYYY-MM-DD, both included; default today), from\n"
           "                  the history file; needs no display\n"
           "  --format table | csv | json\n"
           "                  how --history prints (default table)\n"
           "  --history-file FILE\n"
           "                  the history's file instead of\n"
           "                  $XDG_DATA_HOME/sondrel/history.sqlite\n"
           "  -h, --help      show this text\n"
           "\n"
           "Qt options (window only): -platform NAME, -style NAME, -display DISPLAY, ...\n";
}

}  // namespace sondrel
