#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/main_lists.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/monitor_harness.h"
#include "tests/e2e/pcap_totals.h"

namespace sondrel::e2e {

inline constexpr std::uint16_t kTcp = 6;
inline constexpr std::uint16_t kUdp = 17;

// The table the capture probes print: per check what was expected, what
// tcpdump saw ("-" where it has no figure) and what Sondrel counted.
class CheckTable {
public:
    void add(std::string what, std::string expected, std::string captureFile, std::string counted);
    void add(std::string what, std::uint64_t expected, std::optional<std::uint64_t> captureFile,
             std::optional<std::uint64_t> counted);
    bool allOk() const;
    void print() const;

private:
    struct Row {
        std::string what;
        std::string expected;
        std::string captureFile;
        std::string counted;
        bool ok = false;
    };
    std::vector<Row> m_rows;
};

// Prints "FAIL: reason" and what the engine said; the exit status 1.
int failWith(const std::string& reason, const LiveMonitor* live = nullptr);

std::string readFile(const std::string& path);

// The name the owner lookup gives a program the script started: its
// executable's real path.
std::u16string programName(const std::string& path);
// The label of a program run by name (ping): its real path, found in PATH.
std::u16string programInPath(const std::string& name);

// The port a sender prints once its socket is bound ("port 40123").
std::optional<std::uint16_t> announcedPort(ChildProcess& child, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// The Details rows of one application as the list shows them, cell texts in
// column order.
std::vector<std::vector<std::string>> detailTexts(MainLists& lists, const std::u16string& name);

struct ExpectedEndpoint {
    std::string label;  // for the table
    std::uint16_t localPort;
    std::uint16_t remotePort;
    std::uint8_t family;
    std::string remoteText;
    // Bytes each way where the sender makes them known (the echo returns
    // what was sent); otherwise tcpdump's figures must at least carry the
    // payloads.
    std::optional<std::uint64_t> known;
    std::uint64_t payloadUl = 0;
    std::uint64_t payloadDl = 0;
};

struct ExpectedApp {
    std::string label;
    std::u16string name;
    std::uint16_t protocol;
    std::string protocolTag;
    std::vector<ExpectedEndpoint> endpoints;
};

// One application's rows against tcpdump's figures for its local ports: the
// application and endpoint rows, their bytes each way, and the Details list's
// cells, added to the table.
void checkApplication(CheckTable& table, LiveMonitor& live, const PcapTotals& truth, const ExpectedApp& expected);

// tcpdump's closing summary line "N packets dropped by kernel".
std::optional<std::uint64_t> kernelDrops(const std::string& summary);

}  // namespace sondrel::e2e
