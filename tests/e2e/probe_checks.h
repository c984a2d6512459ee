#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/main_lists.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/monitor_harness.h"

namespace sondrel::e2e {

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

// The port a sender prints once its socket is bound ("port 40123").
std::optional<std::uint16_t> announcedPort(ChildProcess& child, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// The Details rows of one application as the list shows them, cell texts in
// column order.
std::vector<std::vector<std::string>> detailTexts(MainLists& lists, const std::u16string& name);

// tcpdump's closing summary line "N packets dropped by kernel".
std::optional<std::uint64_t> kernelDrops(const std::string& summary);

}  // namespace sondrel::e2e
