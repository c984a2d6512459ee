// Loads the owner-event probes into the running kernel and checks what they
// report for child processes that do known things. Root only; skipped with
// the reason elsewhere. The probes see every process of the machine, so each
// check picks the events of its own children by process id.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "probe/bpf/owner_events.h"

namespace sondrel {
namespace {

struct Mode {
    const char* name;
    BpfOwnerEventsOptions options;
};

std::int64_t realtimeNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

struct ChildRun {
    pid_t pid = -1;
    std::string output;  // what the child's body returned
    int status = -1;
};

// Runs `body` in a forked child; what it returns comes back through a pipe.
ChildRun runInChild(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    ChildRun run;
    std::fflush(nullptr);  // or the child's exit may print this process's buffered output again
    run.pid = fork();
    if (run.pid == 0) {
        close(fds[0]);
        const std::string output = body();
        const ssize_t written = write(fds[1], output.data(), output.size());
        _exit(written == ssize_t(output.size()) ? 0 : 1);
    }
    close(fds[1]);
    char buffer[256];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) run.output.append(buffer, std::size_t(n));
    close(fds[0]);
    waitpid(run.pid, &run.status, 0);
    return run;
}

sockaddr_in loopback4(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

std::uint16_t localPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                               : reinterpret_cast<sockaddr_in&>(address).sin_port);
}

std::uint16_t peerPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A socket of this (the test) process on 127.0.0.1 with a port of its own.
int boundLoopback(int type) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    const auto address = loopback4(0);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return -1;
    if (type == SOCK_STREAM && listen(fd, 8) != 0) return -1;
    return fd;
}

bool setCapabilities(std::uint64_t effective, std::uint64_t permitted) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    data[0].effective = std::uint32_t(effective);
    data[1].effective = std::uint32_t(effective >> 32);
    data[0].permitted = std::uint32_t(permitted);
    data[1].permitted = std::uint32_t(permitted >> 32);
    return syscall(SYS_capset, &header, data) == 0;
}

std::uint64_t permittedCapabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    syscall(SYS_capget, &header, data);
    return data[0].permitted | (std::uint64_t(data[1].permitted) << 32);
}

class OwnerEventsLive : public ::testing::TestWithParam<Mode> {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "loading eBPF programs needs root";
        if (access("/sys/kernel/btf/vmlinux", R_OK) != 0) GTEST_SKIP() << "the kernel publishes no BTF";
        std::string whyNot;
        m_events = BpfOwnerEvents::open(whyNot, GetParam().options);
        if (!m_events && GetParam().options.withoutTrampolines && whyNot.find("offers no hook") != std::string::npos) {
            GTEST_SKIP() << "this kernel needs trampolines: " << whyNot;
        }
        ASSERT_TRUE(m_events) << whyNot;
    }

    // True when the running kernel is at least major.minor.
    static bool kernelAtLeast(int major, int minor) {
        utsname name{};
        uname(&name);
        int runningMajor = 0, runningMinor = 0;
        std::sscanf(name.release, "%d.%d", &runningMajor, &runningMinor);
        return runningMajor > major || (runningMajor == major && runningMinor >= minor);
    }

    void TearDown() override {
        if (!m_events) return;
        drain();
        EXPECT_EQ(m_events->malformedRecords(), 0u);
    }

    void drain() {
        m_events->poll([this](const OwnerEvent& event) { m_seen.push_back(event); });
    }

    // Events of process `tgid` seen so far, after a final drain: once a child
    // has been reaped, every record it caused is in the buffer.
    std::vector<OwnerEvent> eventsOf(pid_t tgid) {
        drain();
        std::vector<OwnerEvent> found;
        for (const auto& event : m_seen) {
            if (event.tgid == std::uint32_t(tgid)) found.push_back(event);
        }
        return found;
    }

    std::vector<SocketClaim> claimsOf(pid_t tgid) {
        std::vector<SocketClaim> claims;
        for (const auto& event : eventsOf(tgid)) {
            if (const auto* claim = std::get_if<SocketClaim>(&event.detail)) claims.push_back(*claim);
        }
        return claims;
    }

    std::unique_ptr<BpfOwnerEvents> m_events;
    std::vector<OwnerEvent> m_seen;
};

TEST_P(OwnerEventsLive, UdpSocketBoundByItsFirstSend) {
    const int receiver = boundLoopback(SOCK_DGRAM);
    const auto to = loopback4(localPort(receiver));
    const auto before = realtimeNs();
    const auto child = runInChild([&] {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        return std::to_string(localPort(fd));
    });
    const auto after = realtimeNs();
    close(receiver);
    // A silent fall-back to the slower hash map would pass every other check.
    if (!GetParam().options.withoutSocketStorage && kernelAtLeast(5, 11)) {
        EXPECT_NE(m_events->hooksInUse().find("socket storage"), std::string::npos) << m_events->hooksInUse();
    }

    const auto events = eventsOf(child.pid);
    const OwnerEvent* udp = nullptr;
    for (const auto& event : events) {
        if (std::holds_alternative<SocketClaim>(event.detail)) udp = &event;
    }
    ASSERT_NE(udp, nullptr) << "hooks: " << m_events->hooksInUse();
    const auto& claim = std::get<SocketClaim>(udp->detail);
    EXPECT_EQ(claim.protocol, IPPROTO_UDP);
    EXPECT_EQ(claim.family, kFamilyIpv4);
    EXPECT_EQ(std::to_string(claim.localPort), child.output);
    EXPECT_TRUE(claim.carriesIpv4);
    EXPECT_EQ(claim.remotePort, 0);
    EXPECT_NE(claim.inode, 0u);
    EXPECT_EQ(udp->tid, std::uint32_t(child.pid));
    EXPECT_GE(udp->timeNs, before - 1'000'000);
    EXPECT_LE(udp->timeNs, after + 1'000'000);
}

TEST_P(OwnerEventsLive, TcpConnectIsTheConnectingProcesss) {
    const int listener = boundLoopback(SOCK_STREAM);
    const auto to = loopback4(localPort(listener));
    const auto child = runInChild([&] {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        return std::to_string(localPort(fd));
    });
    close(listener);

    const auto claims = claimsOf(child.pid);
    ASSERT_EQ(claims.size(), 1u) << "hooks: " << m_events->hooksInUse();
    EXPECT_EQ(claims[0].cause, SocketCause::Connect);
    EXPECT_EQ(claims[0].protocol, IPPROTO_TCP);
    EXPECT_EQ(std::to_string(claims[0].localPort), child.output);
    EXPECT_EQ(claims[0].remotePort, ntohs(to.sin_port));
    EXPECT_EQ(claims[0].remoteIpv4, htonl(INADDR_LOOPBACK));
}

TEST_P(OwnerEventsLive, AcceptedSocketIsTheAcceptingProcesss) {
    const int listener = boundLoopback(SOCK_STREAM);
    const std::uint16_t listenPort = localPort(listener);
    const auto to = loopback4(listenPort);
    const auto connector = runInChild([&] {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        send(fd, "x", 1, 0);
        return std::to_string(localPort(fd));
    });
    const auto acceptor = runInChild([&] {
        const int fd = accept(listener, nullptr, nullptr);
        char byte;
        recv(fd, &byte, 1, 0);
        return std::to_string(peerPort(fd));
    });
    close(listener);

    const auto claims = claimsOf(acceptor.pid);
    ASSERT_EQ(claims.size(), 1u) << "hooks: " << m_events->hooksInUse();
    EXPECT_EQ(claims[0].protocol, IPPROTO_TCP);
    EXPECT_EQ(claims[0].localPort, listenPort);
    EXPECT_EQ(std::to_string(claims[0].remotePort), connector.output);
    EXPECT_EQ(acceptor.output, connector.output);

    bool listening = false;
    for (const auto& claim : claimsOf(getpid())) listening |= claim.localPort == listenPort;
    EXPECT_TRUE(listening) << "the listener of this process was not reported";
}

TEST_P(OwnerEventsLive, ForkedChildReceivingOnItsParentsSocket) {
    const int fd = boundLoopback(SOCK_DGRAM);
    const auto self = loopback4(localPort(fd));
    sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&self), sizeof self);
    const auto child = runInChild([&] {
        char byte;
        return std::to_string(recv(fd, &byte, 1, 0));
    });
    close(fd);
    ASSERT_EQ(child.output, "1");

    const auto claims = claimsOf(child.pid);
    ASSERT_EQ(claims.size(), 1u) << "hooks: " << m_events->hooksInUse();
    EXPECT_EQ(claims[0].cause, SocketCause::Receive);
    EXPECT_EQ(claims[0].localPort, ntohs(self.sin_port));
    EXPECT_EQ(claims[0].localIpv4, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(claims[0].datedAfterCall, m_events->hooksInUse().find("sock_recv_length") != std::string::npos);
}

TEST_P(OwnerEventsLive, ExecForkAndExitOfAChild) {
    const auto child = runInChild([] {
        execl("/bin/true", "/bin/true", nullptr);
        return std::string("exec failed");
    });
    ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0);

    std::optional<ExecEvent> exec;
    bool exited = false;
    for (const auto& event : eventsOf(child.pid)) {
        if (const auto* e = std::get_if<ExecEvent>(&event.detail)) exec = *e;
        exited |= std::holds_alternative<ExitEvent>(event.detail);
    }
    ASSERT_TRUE(exec);
    EXPECT_EQ(exec->path, std::filesystem::canonical("/bin/true").string());
    EXPECT_EQ(exec->filename, "/bin/true");
    EXPECT_TRUE(exited);
    bool forked = false;
    for (const auto& event : eventsOf(getpid())) {
        if (const auto* fork = std::get_if<ForkEvent>(&event.detail)) forked |= fork->childTgid == std::uint32_t(child.pid);
    }
    EXPECT_TRUE(forked);
}

TEST_P(OwnerEventsLive, IPv6SocketsSayWhetherTheyCarryIPv4) {
    struct Row {
        const char* name;
        const char* bindTo;
        const char* sendTo;
        int setV6only;
        bool v6only;  // binding to a plain IPv6 address makes the kernel set it
        bool ipv4;
        bool ipv6;
    };
    const Row rows[] = {
        {"V6ONLY on ::1", "::1", "::1", 1, true, false, true},
        {"dual-stack on ::", "::", "::1", 0, false, true, true},
        {"V6ONLY on ::", "::", "::1", 1, true, false, true},
        {"::1 without V6ONLY", "::1", "::1", 0, true, false, true},
        {"IPv4-mapped loopback", "::ffff:127.0.0.1", "::ffff:127.0.0.1", 0, false, true, false},
    };
    for (const auto& row : rows) {
        const auto child = runInChild([&] {
            const int fd = socket(AF_INET6, SOCK_DGRAM, 0);
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &row.setV6only, sizeof row.setV6only);
            sockaddr_in6 local{};
            local.sin6_family = AF_INET6;
            inet_pton(AF_INET6, row.bindTo, &local.sin6_addr);
            if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return std::string("bind");
            sockaddr_in6 to{};
            to.sin6_family = AF_INET6;
            to.sin6_port = htons(9);
            inet_pton(AF_INET6, row.sendTo, &to.sin6_addr);
            sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            return std::to_string(localPort(fd));
        });
        const auto claims = claimsOf(child.pid);
        ASSERT_EQ(claims.size(), 1u) << row.name;
        EXPECT_EQ(std::to_string(claims[0].localPort), child.output) << row.name;
        EXPECT_EQ(claims[0].family, kFamilyIpv6) << row.name;
        EXPECT_EQ(claims[0].v6Only, row.v6only) << row.name;
        EXPECT_EQ(claims[0].carriesIpv4, row.ipv4) << row.name;
        EXPECT_EQ(claims[0].carriesIpv6, row.ipv6) << row.name;
    }
}

TEST_P(OwnerEventsLive, BusySocketIsReportedOnce) {
    const int receiver = boundLoopback(SOCK_DGRAM);
    const auto to = loopback4(localPort(receiver));
    const auto child = runInChild([&] {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        for (int i = 0; i < 2000; ++i) sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        return std::to_string(localPort(fd));
    });
    close(receiver);
    const auto claims = claimsOf(child.pid);
    ASSERT_EQ(claims.size(), 1u);
    EXPECT_EQ(std::to_string(claims[0].localPort), child.output);
}

TEST_P(OwnerEventsLive, PollingNeedsNoCapability) {
    const auto permitted = permittedCapabilities();
    ASSERT_TRUE(setCapabilities(0, permitted));
    const int receiver = boundLoopback(SOCK_DGRAM);
    const auto to = loopback4(localPort(receiver));
    const auto child = runInChild([&] {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        return std::string();
    });
    close(receiver);

    pollfd ready{m_events->pollFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&ready, 1, 5000), 1);
    const auto claims = claimsOf(child.pid);
    EXPECT_EQ(m_events->malformedRecords(), 0u);
    m_events.reset();  // detaching needs no capability either
    ASSERT_TRUE(setCapabilities(permitted, permitted));
    EXPECT_EQ(claims.size(), 1u);
}

BpfOwnerEventsOptions fallbacks(bool withoutTrampolines, bool olderKernel) {
    BpfOwnerEventsOptions options;
    options.withoutTrampolines = withoutTrampolines;
    options.withPerfBuffer = olderKernel;
    options.withoutSocketStorage = olderKernel;
    return options;
}

// What this kernel offers; tracepoints only (a 6.3+ kernel without
// trampolines); and the perf buffer and hash map of kernels before 5.8/5.11.
const Mode kModes[] = {
    {"chosen", {}},
    {"tracepoints", fallbacks(true, false)},
    {"perf_buffer_and_hash_map", fallbacks(false, true)},
};

INSTANTIATE_TEST_SUITE_P(Hooks, OwnerEventsLive, ::testing::ValuesIn(kModes),
                         [](const auto& info) { return std::string(info.param.name); });

// Opens the probes in a child holding only `capabilities`; "" on success.
std::string openWith(std::uint64_t capabilities) {
    return runInChild([&] {
               if (!setCapabilities(capabilities, capabilities)) return std::string("capset failed");
               std::string whyNot;
               const auto events = BpfOwnerEvents::open(whyNot);
               return events ? std::string() : whyNot.empty() ? std::string("no reason given") : whyNot;
           })
        .output;
}

TEST(OwnerEventsPrivilege, CapBpfAndCapPerfmonAreEnough) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to hand out capabilities";
    if (access("/sys/kernel/btf/vmlinux", R_OK) != 0) GTEST_SKIP() << "the kernel publishes no BTF";
    EXPECT_EQ(openWith((1ull << CAP_BPF) | (1ull << CAP_PERFMON)), "");
    const auto withoutPerfmon = openWith(1ull << CAP_BPF);
    EXPECT_NE(withoutPerfmon.find("CAP_PERFMON"), std::string::npos) << withoutPerfmon;
    const auto without = openWith(0);
    EXPECT_NE(without.find("CAP_BPF and CAP_PERFMON"), std::string::npos) << without;
}

}  // namespace
}  // namespace sondrel
