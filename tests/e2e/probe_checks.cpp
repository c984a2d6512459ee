#include "tests/e2e/probe_checks.h"

#include <unistd.h>

#include <cstdlib>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/text.h"

namespace sondrel::e2e {

void CheckTable::add(std::string what, std::string expected, std::string captureFile, std::string counted) {
    const bool ok = counted == expected && (captureFile == "-" || captureFile == expected);
    m_rows.push_back({std::move(what), std::move(expected), std::move(captureFile), std::move(counted), ok});
}

void CheckTable::add(std::string what, std::uint64_t expected, std::optional<std::uint64_t> captureFile,
                     std::optional<std::uint64_t> counted) {
    add(std::move(what), std::to_string(expected), captureFile ? std::to_string(*captureFile) : "-",
        counted ? std::to_string(*counted) : "(none)");
}

bool CheckTable::allOk() const {
    return std::all_of(m_rows.begin(), m_rows.end(), [](const Row& row) { return row.ok; });
}

void CheckTable::print() const {
    std::size_t widths[4] = {5, 8, 7, 7};
    for (const Row& row : m_rows) {
        widths[0] = std::max(widths[0], row.what.size());
        widths[1] = std::max(widths[1], row.expected.size());
        widths[2] = std::max(widths[2], row.captureFile.size());
        widths[3] = std::max(widths[3], row.counted.size());
    }
    auto line = [&](const std::string& a, const std::string& b, const std::string& c, const std::string& d,
                    const std::string& e) {
        std::printf("%-*s  %-*s  %-*s  %-*s  %s\n", int(widths[0]), a.c_str(), int(widths[1]), b.c_str(),
                    int(widths[2]), c.c_str(), int(widths[3]), d.c_str(), e.c_str());
    };
    line("check", "expected", "tcpdump", "Sondrel", "");
    for (const Row& row : m_rows) line(row.what, row.expected, row.captureFile, row.counted, row.ok ? "ok" : "MISMATCH");
}

int failWith(const std::string& reason, const LiveMonitor* live) {
    std::fprintf(stderr, "FAIL: %s\n", reason.c_str());
    if (live) {
        for (const std::string& message : live->messages()) std::fprintf(stderr, "  engine said: %s\n", message.c_str());
    }
    return 1;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::u16string programName(const std::string& path) {
    std::error_code failed;
    const std::filesystem::path real = std::filesystem::canonical(path, failed);
    return utf8ToU16(failed ? path : real.string());
}

std::u16string programInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
    while (!dirs.empty()) {
        const std::size_t colon = dirs.find(':');
        const std::string candidate = std::string(dirs.substr(0, colon)) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return programName(candidate);
        dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
    }
    return utf8ToU16(name);
}

std::optional<std::uint16_t> announcedPort(ChildProcess& child, std::chrono::milliseconds timeout) {
    const std::optional<std::string> line = child.readLine(timeout);
    if (!line || line->rfind("port ", 0) != 0) return std::nullopt;
    return static_cast<std::uint16_t>(std::stoul(line->substr(5)));
}

std::vector<std::vector<std::string>> detailTexts(MainLists& lists, const std::u16string& name) {
    std::vector<std::vector<std::string>> rows;
    ReportList& applications = lists.applications();
    for (std::size_t row = 0; row < applications.rowCount(); ++row) {
        if (applications.text(row, 0) != name) continue;
        lists.SelectApplicationRow(row);
        for (std::size_t detail = 0; detail < lists.details().rowCount(); ++detail) {
            std::vector<std::string> cells;
            for (std::size_t column = 0; column < lists.details().columns().size(); ++column) {
                cells.push_back(u16ToUtf8(lists.details().text(detail, column)));
            }
            rows.push_back(std::move(cells));
        }
        break;
    }
    return rows;
}

std::optional<std::uint64_t> kernelDrops(const std::string& summary) {
    std::istringstream lines(summary);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("dropped by kernel") != std::string::npos) return std::stoull(line);
    }
    return std::nullopt;
}

void checkApplication(CheckTable& table, LiveMonitor& live, const PcapTotals& truth, const ExpectedApp& expected) {
    const std::optional<AppRecord> app = findApplication(live.records(), expected.name);
    const auto rows = detailTexts(live.monitor().lists(), expected.name);
    const std::string& who = expected.label;
    table.add(who + ": listed as", u16ToUtf8(expected.name), "-", app ? u16ToUtf8(app->name) : "(none)");
    table.add(who + ": endpoint rows", expected.endpoints.size(), std::nullopt,
              app ? std::optional<std::uint64_t>(app->endpoints.size()) : std::nullopt);
    table.add(who + ": Details rows", expected.endpoints.size(), std::nullopt, rows.size());

    std::uint64_t wantUl = 0;
    std::uint64_t wantDl = 0;
    std::uint64_t fileUl = 0;
    std::uint64_t fileDl = 0;
    const bool ported = expected.protocolTag != "-";
    for (const ExpectedEndpoint& want : expected.endpoints) {
        const std::string what = who + " " + want.label;
        const FlowTally ul = truth.flow(want.localPort, expected.protocol, true, want.family);
        const FlowTally dl = truth.flow(want.localPort, expected.protocol, false, want.family);
        if (!want.known) {
            table.add(what + ": tcpdump UL > payload " + std::to_string(want.payloadUl), "yes", "-",
                      ul.bytes > want.payloadUl ? "yes" : "no");
            table.add(what + ": tcpdump DL > payload " + std::to_string(want.payloadDl), "yes", "-",
                      dl.bytes > want.payloadDl ? "yes" : "no");
        }
        const std::uint64_t expectUl = want.known.value_or(ul.bytes);
        const std::uint64_t expectDl = want.known.value_or(dl.bytes);
        wantUl += expectUl;
        wantDl += expectDl;
        fileUl += ul.bytes;
        fileDl += dl.bytes;

        const EndpointRecord* endpoint = nullptr;
        if (app) {
            for (const EndpointRecord& row : app->endpoints) {
                if (row.localPort == want.localPort && u16ToUtf8(row.remoteIpText) == want.remoteText) endpoint = &row;
            }
        }
        table.add(what + ": endpoint remote IP", want.remoteText, "-", endpoint ? u16ToUtf8(endpoint->remoteIpText) : "(none)");
        if (endpoint) {
            table.add(what + ": endpoint remote port", want.remotePort, std::nullopt, endpoint->remotePort);
            table.add(what + ": endpoint protocol tag", expected.protocolTag, "-", u16ToUtf8(endpoint->protocolTag));
            table.add(what + ": endpoint UL bytes", expectUl, ul.bytes, endpoint->ulBytes);
            table.add(what + ": endpoint DL bytes", expectDl, dl.bytes, endpoint->dlBytes);
        }

        const std::string localCell = ported ? expected.protocolTag + std::to_string(want.localPort) : "-";
        const std::string remoteCell = ported ? expected.protocolTag + std::to_string(want.remotePort) : "-";
        const auto row = std::find_if(rows.begin(), rows.end(), [&](const std::vector<std::string>& cells) {
            return cells[0] == localCell && cells[3] == want.remoteText;
        });
        table.add(what + ": Details \"Local port\" and \"Remote IP\"", localCell + " " + want.remoteText, "-",
                  row != rows.end() ? (*row)[0] + " " + (*row)[3] : "(no such row)");
        table.add(what + ": Details \"Remote port\"", remoteCell, "-", row != rows.end() ? (*row)[4] : "(no such row)");
    }
    table.add(who + ": UL bytes", wantUl, fileUl, app ? std::optional(app->ulBytes) : std::nullopt);
    table.add(who + ": DL bytes", wantDl, fileDl, app ? std::optional(app->dlBytes) : std::nullopt);
    if (app && expected.endpoints.size() == 1) {
        table.add(who + ": last remote host", expected.endpoints.front().remoteText, "-", u16ToUtf8(app->lastRemoteHost));
    }
}

}  // namespace sondrel::e2e
