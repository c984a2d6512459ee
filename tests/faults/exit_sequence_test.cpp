#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_proc_tree.h"
#include "tests/e2e/child_process.h"

namespace sondrel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Long enough that the rest of the held pass still runs while the child ends.
constexpr int kProcesses = 1500;
constexpr int kSocketsPerProcess = 4;

#if defined(__SANITIZE_THREAD__)
#define SONDREL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SONDREL_TSAN 1
#endif
#endif
#ifdef SONDREL_TSAN
// ThreadSanitizer itself waits atexit_sleep_ms (1 s by default) at exit while
// other threads live, so that what they do during the teardown is still checked.
constexpr auto kSanitizerExitWait = 1000ms;
#else
constexpr auto kSanitizerExitWait = 0ms;
#endif

std::string tcpRow(int slot, int port, long inode) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "%4d: 0100007F:%04X 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 %ld 1 "
                  "0000000000000000 100 0 0 10 0\n",
                  slot, port, inode);
    return text;
}

// A proc tree of many socket owners whose net/udp6 is a FIFO: the child's
// discovery worker stops inside its first pass until the child writes to it.
void buildHeldTree(const testing::TempProcTree& tree) {
    const std::string header = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
    std::string tcp = header;
    int slot = 0;
    for (int p = 0; p < kProcesses; ++p) {
        const int pid = 1000 + p;
        const std::string name = "service-" + std::to_string(p % 40);
        tree.addProcess(pid, "/usr/lib/svc/" + name + std::string(1, '\0'), name, "/usr/lib/svc/" + name);
        for (int s = 0; s < kSocketsPerProcess; ++s, ++slot) {
            const long inode = 700000 + slot;
            tree.addSocketLink(pid, 3 + s, std::uint64_t(inode));
            tcp += tcpRow(slot, 1024 + slot, inode);
        }
    }
    tree.writeFile("net/tcp", tcp);
    tree.writeFile("net/tcp6", header);
    tree.writeFile("net/udp", header);
    ASSERT_EQ(::mkfifo((tree.root() + "/net/udp6").c_str(), 0600), 0);
}

std::vector<std::string> linesUntilEnd(e2e::ChildProcess& child) {
    std::vector<std::string> lines;
    while (const auto line = child.readLine(5s)) lines.push_back(*line);
    return lines;
}

// The exit command while the capture thread waits on an idle interface, the
// discovery worker is inside a pass and 200 resolvers wait on a 5 s look-up:
// the process ends within about a second and, in the sanitizer builds, without
// a report (the child is built with the same instrumentation as this test).
TEST(ExitSequence, EndsPromptlyWhileEveryWorkerIsBusy) {
    // Thousands of links: on a tmpfs that takes a moment, on some disks many seconds.
    if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
    const testing::TempProcTree tree;
    buildHeldTree(tree);
    const fs::path work = fs::path(tree.root()) / "work";
    fs::create_directories(work);

    std::string error;
    auto child = e2e::ChildProcess::start({SONDREL_FAULT_EXIT_CHILD, tree.root(), work.string()},
                                          {.output = true, .errors = true}, error);
    ASSERT_TRUE(child) << error;

    const std::vector<std::string> before = {"capture idle in dispatch", "200 resolvers waiting", "discovery mid-pass",
                                             "exiting"};
    for (const std::string& expected : before) {
        const auto line = child->readLine(60s);
        ASSERT_EQ(line.value_or("(nothing)"), expected) << child->drainErrors();
    }
    const auto exitStart = std::chrono::steady_clock::now();
    std::optional<int> status;
    while (!(status = child->poll()) && std::chrono::steady_clock::now() - exitStart < 10s) {
        std::this_thread::sleep_for(1ms);
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - exitStart);
    ASSERT_TRUE(status) << "still running 10 s after the exit began";
    EXPECT_LE(took, 1500ms + kSanitizerExitWait) << "from the exit command to the end of the process";
    std::printf("exit command to process end: %lld ms\n", static_cast<long long>(took.count()));
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << e2e::describeStatus(*status);
    EXPECT_EQ(linesUntilEnd(*child), (std::vector<std::string>{"capture handle closed", "discovery still in its pass"}));
    EXPECT_EQ(child->drainErrors(), "");
}

}  // namespace
}  // namespace sondrel
