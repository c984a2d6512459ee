// Runs the flow counter's socket filters in the running kernel
// (BPF_PROG_TEST_RUN) and compares what they count with decodeHeaders, the
// user-space decoder they stand in for. Root only; skipped with the reason
// elsewhere.
//
// The test run takes the data's first 14 bytes for an Ethernet header and
// shows the program what follows, with skb->protocol the header's EtherType.
// So count_cooked gets an Ethernet frame as it stands (what it sees is then
// the "any" device's view of it), while count_ethernet and count_raw get the
// frame behind a stand-in header that the run strips.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "base/file_descriptor.h"
#include "probe/bpf/flow_counter.h"
#include "probe/bpf/owner_events.h"
#include "probe/capture/decode_frame.h"
#include "tests/support/socket_filter_run.h"
#include "tests/support/test_frames.h"

namespace sondrel {
namespace {

using test::Bytes;
using test::Extension;
using test::ipv4;
using test::ipv6;
using test::onLink;

const Bytes kStandInHeader{0x02, 0, 0, 0, 0, 0x01, 0x02, 0, 0, 0, 0, 0x02, 0x08, 0x00};

std::unique_ptr<BpfFlowCounter> openCounter(std::string& whyNot, const BpfFlowCounterOptions& options = {}) {
    if (geteuid() != 0) {
        whyNot = "needs root to load BPF programs";
        return nullptr;
    }
    return BpfFlowCounter::open(whyNot, options);
}

#define OPEN_OR_SKIP(counter, ...)                                       \
    std::string whyNot;                                                  \
    auto counter = openCounter(whyNot __VA_OPT__(, ) __VA_ARGS__);       \
    if (!(counter)) GTEST_SKIP() << whyNot

// One frame through one program, in the way the test run allows.
struct ProgramRun {
    const char* program;
    LinkType link;       // the program's link
    LinkType decodedAs;  // what decodeHeaders is given
    bool standIn;        // behind kStandInHeader
};

constexpr ProgramRun kRuns[] = {
    {"count_cooked", LinkType::LinuxCooked2, LinkType::Ethernet, false},
    {"count_ethernet", LinkType::Ethernet, LinkType::Ethernet, true},
};
constexpr ProgramRun kRawRun{"count_raw", LinkType::Raw, LinkType::Raw, true};

struct Frame {
    std::string name;
    Bytes bytes;
    bool raw;  // an IP packet alone, else an Ethernet frame
};

// The decoder tests' kinds of frame, rebuilt with the same builders.
std::vector<Frame> builtFrames() {
    const auto eth = [](const test::Ipv4Packet& p) { return onLink(LinkType::Ethernet, ipv4(p)); };
    const auto eth6 = [](const test::Ipv6Packet& p) { return onLink(LinkType::Ethernet, ipv6(p), 0x86DD); };
    const std::vector<Extension> everyKind{{.type = test::kHopByHop},
                                           {.type = test::kDestinationOptions, .lengthField = 1},
                                           {.type = test::kRouting, .lengthField = 2},
                                           {.type = test::kFragmentHeader, .moreFragments = true, .identification = 7},
                                           {.type = test::kAuthentication, .lengthField = 4}};
    std::vector<Frame> frames = {
        {"Tcp", eth({.protocol = 6, .totalLength = 52}), false},
        {"Udp", eth({.protocol = 17, .totalLength = 76, .srcPort = 53, .dstPort = 51234}), false},
        {"IcmpEchoRequest", eth({.protocol = 1, .totalLength = 84, .srcPort = 0x0800}), false},
        {"IcmpEchoReply", eth({.protocol = 1, .totalLength = 84, .srcPort = 0x0000}), false},
        {"IcmpUnreachable", eth({.protocol = 1, .srcPort = 0x0303}), false},
        {"IcmpCutBeforeIdentifier", eth({.protocol = 1, .srcPort = 0x0800, .payload = 0}), false},
        {"Icmpv6EchoRequest", eth6({.upper = 58, .srcPort = 0x8000}), false},
        {"Icmpv6EchoReply", eth6({.upper = 58, .srcPort = 0x8100}), false},
        {"IcmpTypeInsideIpv6", eth6({.upper = 1, .srcPort = 0x0800}), false},
        {"Sctp", eth({.protocol = 132, .totalLength = 64, .srcPort = 5000, .dstPort = 38412}), false},
        {"SctpCutInPorts", [&] { Bytes f = eth({.protocol = 132, .payload = 0}); f.resize(14 + 22); return f; }(), false},
        {"Gre", eth({.protocol = 47, .totalLength = 100}), false},
        {"TotalLengthLarge", eth({.protocol = 17, .totalLength = 0xFFFE}), false},
        {"TotalLengthZero", eth({.protocol = 17, .totalLength = 0}), false},
        {"Ihl6", eth({.ihl = 6, .protocol = 6, .totalLength = 44, .srcPort = 0x1234, .dstPort = 0x5678}), false},
        {"Ihl15", eth({.ihl = 15, .protocol = 17, .totalLength = 68, .srcPort = 7, .dstPort = 9, .payload = 0}), false},
        {"Ihl15CutInPorts", [&] { Bytes f = eth({.ihl = 15, .protocol = 17, .payload = 0}); f.pop_back(); return f; }(),
         false},
        {"Ihl0", eth({.ihl = 0, .protocol = 6, .totalLength = 0x0123}), false},
        {"Ihl3", eth({.ihl = 3, .protocol = 17}), false},
        {"VersionNibbleIgnored", eth({.version = 6, .protocol = 6}), false},
        {"Padded", [&] { Bytes f = eth({.totalLength = 40, .payload = 0}); f.resize(60); return f; }(), false},
        {"FullSize", [&] { Bytes f = eth({.totalLength = 1500}); f.resize(1514); return f; }(), false},
        {"Arp", onLink(LinkType::Ethernet, ipv4({}), 0x0806), false},
        {"EtherTypeHighByteOnly", onLink(LinkType::Ethernet, ipv4({}), 0x0801), false},
        {"VlanTagged", [&] { Bytes f = eth({}); f.insert(f.begin() + 12, {0x81, 0x00, 0x00, 0x07}); return f; }(), false},
        {"Ipv4Header19Bytes", [&] { Bytes f = eth({}); f.resize(14 + 19); return f; }(), false},
        {"Ipv4FirstFragment", eth({.protocol = 17, .identification = 9, .flagsAndOffset = 0x2000}), false},
        {"Ipv4LaterFragment", eth({.protocol = 17, .totalLength = 1500, .flagsAndOffset = 0x2000 | 185}), false},
        {"Ipv4DontFragment", eth({.protocol = 6, .flagsAndOffset = 0x4000}), false},
        {"Ipv6Tcp", eth6({.payloadLength = 1440}), false},
        {"Ipv6Header39Bytes", [&] { Bytes f = eth6({}); f.resize(14 + 39); return f; }(), false},
        {"Ipv6HopByHop", eth6({.extensions = {{.type = test::kHopByHop, .lengthField = 1}}}), false},
        {"Ipv6Routing", eth6({.extensions = {{.type = test::kRouting, .lengthField = 2}}, .upper = 17}), false},
        {"Ipv6Authentication", eth6({.extensions = {{.type = test::kAuthentication, .lengthField = 4}}}), false},
        {"Ipv6EveryKind", eth6({.extensions = everyKind, .upper = 17}), false},
        {"Ipv6EveryKindCut", [&] { Bytes f = eth6({.extensions = everyKind, .payload = 0}); f.resize(f.size() - 3); return f; }(),
         false},
        {"Ipv6Esp", eth6({.extensions = {{.type = test::kHopByHop}}, .upper = 50}), false},
        {"Ipv6NoNextHeader", eth6({.payloadLength = 0, .upper = 59}), false},
        {"Ipv6EightHeaders", eth6({.extensions = std::vector<Extension>(8, Extension{}), .upper = 17}), false},
        {"Ipv6NineHeaders", eth6({.extensions = std::vector<Extension>(9, Extension{}), .upper = 17}), false},
        {"Ipv6FirstFragment",
         eth6({.extensions = {{.type = test::kFragmentHeader, .moreFragments = true, .identification = 1}}}), false},
        {"Ipv6AtomicFragment", eth6({.extensions = {{.type = test::kFragmentHeader, .identification = 1}}}), false},
        {"Ipv6LaterFragment",
         eth6({.payloadLength = 1240,
               .extensions = {{.type = test::kHopByHop}, {.type = test::kFragmentHeader, .fragmentOffset = 151}},
               .upper = 17}),
         false},
        {"Ipv6LargestPayloadLength", eth6({.payloadLength = 0xFFFF}), false},
        {"RawUdp", ipv4({.protocol = 17, .totalLength = 33, .srcPort = 51820, .dstPort = 1194}), true},
        {"RawIhl6", ipv4({.ihl = 6, .protocol = 6}), true},
        {"RawVersionZero", ipv4({.version = 0}), true},
        {"RawVersionFifteen", ipv4({.version = 15}), true},
        {"RawIpv6Udp", ipv6({.upper = 17, .srcPort = 53, .dstPort = 5353}), true},
        {"RawEmpty", {}, true},
    };
    return frames;
}

// The checked-in seeds of the decoder's fuzz target on Ethernet (mode 0) and
// Raw (mode 1) links, a sequence split into its frames.
std::vector<Frame> corpusFrames() {
    std::vector<Frame> frames;
    for (const auto& entry : std::filesystem::directory_iterator(SONDREL_DECODE_CORPUS)) {
        std::ifstream file(entry.path(), std::ios::binary);
        const Bytes data{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        if (data.empty() || (data[0] & 0x13) > 1) continue;
        const bool raw = (data[0] & 3) == 1;
        const std::string name = entry.path().filename().string();
        if ((data[0] & 4) == 0) {
            frames.push_back({name, Bytes(data.begin() + 1, data.end()), raw});
            continue;
        }
        for (std::size_t at = 1, n = 0; data.size() - at >= 3; ++n) {
            const std::size_t length = std::min<std::size_t>(std::size_t{data[at]} << 8 | data[at + 1], data.size() - at - 3);
            frames.push_back({name + "#" + std::to_string(n),
                              Bytes(data.begin() + static_cast<long>(at + 3), data.begin() + static_cast<long>(at + 3 + length)),
                              raw});
            at += 3 + length;
        }
    }
    return frames;
}

void expectSameFlow(const FlowDelta& delta, const PacketRecord& record, const std::string& what) {
    EXPECT_EQ(delta.bytes, record.length) << what;
    EXPECT_EQ(delta.packets, 1u) << what;
    EXPECT_EQ(delta.record.family, record.family) << what;
    EXPECT_EQ(delta.record.protocol, record.protocol) << what;
    EXPECT_EQ(delta.record.srcPort, record.srcPort) << what;
    EXPECT_EQ(delta.record.dstPort, record.dstPort) << what;
    EXPECT_EQ(delta.record.srcAddr, record.srcAddr) << what;
    EXPECT_EQ(delta.record.dstAddr, record.dstAddr) << what;
    EXPECT_EQ(delta.record.src6, record.src6) << what;
    EXPECT_EQ(delta.record.dst6, record.dst6) << what;
    EXPECT_EQ(delta.record.interfaceIndex, 1u) << what;  // the test run's loopback device
    EXPECT_EQ(delta.record.length, 0u) << what;
}

// Every frame, through every program that can take it: counted exactly when
// the decoder gives a record, with the record's length, ports and addresses.
// A later fragment runs on a fresh counter, so no earlier first fragment
// lends it ports.
TEST(BpfFlowCounter, CountsEveryFrameAsTheDecoderReadsIt) {
    OPEN_OR_SKIP(shared);
    std::vector<Frame> frames = builtFrames();
    const std::vector<Frame> seeds = corpusFrames();
    ASSERT_FALSE(seeds.empty());
    frames.insert(frames.end(), seeds.begin(), seeds.end());
    std::size_t counted = 0;
    for (const Frame& frame : frames) {
        for (const ProgramRun& run : frame.raw ? std::span<const ProgramRun>(&kRawRun, 1) : std::span<const ProgramRun>(kRuns)) {
            const std::string what = frame.name + " through " + run.program;
            PacketRecord record;
            FragmentFields fragment;
            const bool decoded = decodeHeaders(frame.bytes, run.decodedAs, frame.bytes.size(), record, fragment);
            Bytes data = run.standIn ? kStandInHeader : Bytes{};
            data.insert(data.end(), frame.bytes.begin(), frame.bytes.end());
            if (data.size() < 14) {
                EXPECT_FALSE(decoded) << what;  // too short for the test run; too short to decode
                continue;
            }
            std::unique_ptr<BpfFlowCounter> fresh;
            if (decoded && fragment.role == FragmentRole::Later) fresh = openCounter(whyNot);
            BpfFlowCounter& counter = fresh ? *fresh : *shared;
            std::vector<FlowDelta> deltas;
            counter.drain(deltas);
            deltas.clear();

            const auto verdict = test::runSocketFilter(counter.programFd(run.link, false), data);
            if (!verdict) {
                // The test run refuses an IP EtherType without a whole IP header.
                EXPECT_FALSE(decoded) << what;
                continue;
            }
            EXPECT_EQ(*verdict, 0u) << what;
            counter.drain(deltas);
            ASSERT_EQ(deltas.size(), decoded ? 1u : 0u) << what;
            if (decoded) {
                expectSameFlow(deltas[0], record, what);
                ++counted;
            }
        }
    }
    EXPECT_GT(counted, frames.size());  // most frames count, through two programs
}

std::vector<FlowDelta> drained(BpfFlowCounter& counter) {
    std::vector<FlowDelta> deltas;
    counter.drain(deltas);
    return deltas;
}

std::int64_t realtimeNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// Each drain reports what came since the previous one, stamped with the
// time of the interval's first packet.
TEST(BpfFlowCounter, DrainReportsEachFlowsNewTrafficOnce) {
    OPEN_OR_SKIP(counter);
    const int program = counter->programFd(LinkType::LinuxCooked2, false);
    const Bytes a = onLink(LinkType::Ethernet, ipv4({.protocol = 17, .totalLength = 100, .srcPort = 1}));
    const Bytes b = onLink(LinkType::Ethernet, ipv4({.protocol = 17, .totalLength = 300, .srcPort = 2}));
    drained(*counter);
    const struct {
        int framesA;
        int framesB;
    } steps[] = {{3, 0}, {0, 0}, {1, 2}, {0, 1}};
    for (const auto& step : steps) {
        const std::int64_t before = realtimeNs();
        for (int i = 0; i < step.framesA; ++i) ASSERT_EQ(test::runSocketFilter(program, a), 0u);
        for (int i = 0; i < step.framesB; ++i) ASSERT_EQ(test::runSocketFilter(program, b), 0u);
        const std::int64_t after = realtimeNs();
        std::vector<FlowDelta> deltas = drained(*counter);
        std::sort(deltas.begin(), deltas.end(), [](const auto& x, const auto& y) { return x.record.srcPort < y.record.srcPort; });
        std::vector<std::tuple<std::uint16_t, std::uint64_t, std::uint64_t>> got;
        for (const FlowDelta& delta : deltas) {
            got.emplace_back(delta.record.srcPort, delta.bytes, delta.packets);
            // The two clocks are sampled apart: a millisecond of slack.
            EXPECT_GE(delta.record.timeNs, before - 1'000'000);
            EXPECT_LE(delta.record.timeNs, after + 1'000'000);
        }
        std::vector<std::tuple<std::uint16_t, std::uint64_t, std::uint64_t>> expected;
        if (step.framesA > 0) expected.emplace_back(1, 100u * step.framesA, step.framesA);
        if (step.framesB > 0) expected.emplace_back(2, 300u * step.framesB, step.framesB);
        EXPECT_EQ(got, expected);
    }
    EXPECT_EQ(counter->flowCount(), 2u);
}

// A later fragment takes the ports and protocol of its datagram's first
// fragment; one of another datagram keeps none.
TEST(BpfFlowCounter, LendsAFirstFragmentsPortsToLaterOnes) {
    OPEN_OR_SKIP(counter);
    const int program = counter->programFd(LinkType::LinuxCooked2, false);
    const auto v4 = [](std::uint16_t id, std::uint16_t flags) {
        return onLink(LinkType::Ethernet, ipv4({.protocol = 17, .srcPort = 5000, .dstPort = 6000, .identification = id,
                                                .flagsAndOffset = flags}));
    };
    const auto v6 = [](std::uint32_t id, std::uint16_t offset) {
        return onLink(LinkType::Ethernet,
                      ipv6({.extensions = {{.type = test::kFragmentHeader, .fragmentOffset = offset,
                                            .moreFragments = offset == 0, .identification = id}},
                            .upper = 17, .srcPort = 7000, .dstPort = 8000}),
                      0x86DD);
    };
    const struct {
        const char* name;
        Bytes first;
        Bytes later;
        std::uint16_t srcPort;
        std::uint16_t dstPort;
    } rows[] = {
        {"Ipv4SameDatagram", v4(11, 0x2000), v4(11, 185), 5000, 6000},
        {"Ipv4OtherDatagram", v4(12, 0x2000), v4(13, 185), 0, 0},
        {"Ipv6SameDatagram", v6(21, 0), v6(21, 100), 7000, 8000},
        {"Ipv6OtherDatagram", v6(22, 0), v6(23, 100), 0, 0},
    };
    for (const auto& row : rows) {
        drained(*counter);
        ASSERT_EQ(test::runSocketFilter(program, row.first), 0u) << row.name;
        drained(*counter);
        ASSERT_EQ(test::runSocketFilter(program, row.later), 0u) << row.name;
        const std::vector<FlowDelta> deltas = drained(*counter);
        ASSERT_EQ(deltas.size(), 1u) << row.name;
        EXPECT_EQ(deltas[0].record.srcPort, row.srcPort) << row.name;
        EXPECT_EQ(deltas[0].record.dstPort, row.dstPort) << row.name;
        EXPECT_EQ(deltas[0].record.protocol, 17u) << row.name;
    }
}

// With the table full a new flow's frames go to user space, counted as
// overflow; flows already in the table still count in the kernel.
TEST(BpfFlowCounter, PassesNewFlowsWhenTheTableIsFull) {
    OPEN_OR_SKIP(counter, BpfFlowCounterOptions{.maxFlows = 2});
    const int program = counter->programFd(LinkType::LinuxCooked2, false);
    const auto flow = [](std::uint16_t port) {
        return onLink(LinkType::Ethernet, ipv4({.protocol = 6, .totalLength = 60, .srcPort = port}));
    };
    const struct {
        std::uint16_t port;
        bool passed;
    } steps[] = {{1, false}, {2, false}, {3, true}, {1, false}, {3, true}, {4, true}};
    std::uint64_t passed = 0;
    for (const auto& step : steps) {
        const Bytes frame = flow(step.port);
        const auto verdict = test::runSocketFilter(program, frame);
        ASSERT_TRUE(verdict.has_value());
        // Passed whole: the program saw the frame without the test run's header.
        EXPECT_EQ(*verdict, step.passed ? frame.size() - 14 : 0u) << "port " << step.port;
        passed += step.passed ? 1 : 0;
    }
    EXPECT_EQ(counter->overflowFrames(), passed);
    std::vector<FlowDelta> deltas = drained(*counter);
    std::uint64_t bytes = 0;
    for (const FlowDelta& delta : deltas) bytes += delta.bytes;
    EXPECT_EQ(deltas.size(), 2u);
    EXPECT_EQ(bytes, 3u * 60);
}

// Another interface than loopback for the test run, 0 when there is none.
std::uint32_t secondInterface() {
    std::uint32_t found = 0;
    struct if_nameindex* names = if_nameindex();
    if (names == nullptr) return 0;
    for (const struct if_nameindex* name = names; name->if_index != 0; ++name) {
        if (name->if_index > 1 && (found == 0 || name->if_index < found)) found = name->if_index;
    }
    if_freenameindex(names);
    return found;
}

enum class Verdict { Counted, Dropped, Passed };

// count_cooked_named: an interface without a verdict is passed for user
// space to name, one not counted is dropped; either cooked program drops a
// packet that a second interface shows again at once.
TEST(BpfFlowCounter, CookedProgramsCountNamedInterfacesAndEachPacketOnce) {
    OPEN_OR_SKIP(counter);
    const std::uint32_t other = secondInterface();
    if (other == 0) GTEST_SKIP() << "needs an interface besides loopback";
    enum class Action { None, CountLoopback, CountOther, IgnoreOther, Forget };
    const struct {
        const char* name;
        Action before;
        bool named;
        std::uint32_t index;
        std::uint16_t srcPort;  // tells packets apart
        Verdict verdict;
    } steps[] = {
        {"UnknownInterfacePassed", Action::None, true, 1, 1, Verdict::Passed},
        {"CountedInterface", Action::CountLoopback, true, 1, 1, Verdict::Counted},
        {"SameInterfaceAgainIsNewPacket", Action::None, true, 1, 1, Verdict::Counted},
        {"NotCountedDropped", Action::IgnoreOther, true, other, 2, Verdict::Dropped},
        {"CopyOnSecondInterfaceDropped", Action::CountOther, true, other, 1, Verdict::Dropped},
        {"NewPacketOnSecondInterface", Action::None, true, other, 3, Verdict::Counted},
        {"CopyBackDropped", Action::None, true, 1, 3, Verdict::Dropped},
        {"ForgottenPassed", Action::Forget, true, 1, 4, Verdict::Passed},
        {"UnnamedProgramCountsAll", Action::None, false, other, 5, Verdict::Counted},
        {"UnnamedProgramDropsCopies", Action::None, false, 1, 5, Verdict::Dropped},
    };
    std::uint64_t expectedPackets = 0;
    for (const auto& step : steps) {
        switch (step.before) {
        case Action::None:
            break;
        case Action::CountLoopback:
            counter->setInterfaceCounted(1, true);
            break;
        case Action::CountOther:
            counter->setInterfaceCounted(other, true);
            break;
        case Action::IgnoreOther:
            counter->setInterfaceCounted(other, false);
            break;
        case Action::Forget:
            counter->forgetInterfaces();
            break;
        }
        const Bytes frame = onLink(LinkType::Ethernet, ipv4({.protocol = 17, .srcPort = step.srcPort}));
        const auto verdict =
            test::runSocketFilter(counter->programFd(LinkType::LinuxCooked2, step.named), frame, step.index);
        ASSERT_TRUE(verdict.has_value()) << step.name;
        const std::uint32_t expected = step.verdict == Verdict::Passed ? frame.size() - 14 : 0u;
        EXPECT_EQ(*verdict, expected) << step.name;
        if (step.verdict == Verdict::Counted) ++expectedPackets;
    }
    std::uint64_t packets = 0;
    for (const FlowDelta& delta : drained(*counter)) packets += delta.packets;
    EXPECT_EQ(packets, expectedPackets);
}

// Whether a frame with these bytes arrives at `capture` within two seconds,
// and how: PACKET_OUTGOING, PACKET_HOST ...; -1 when none does. Other
// frames on the device are skipped.
int arrival(int capture, const Bytes& frame) {
    for (int polls = 0; polls < 200; ++polls) {
        pollfd ready{capture, POLLIN, 0};
        if (poll(&ready, 1, 10) <= 0) continue;
        Bytes got(frame.size() + 1);
        sockaddr_ll from{};
        socklen_t fromSize = sizeof from;
        const ssize_t size = recvfrom(capture, got.data(), got.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (size == static_cast<ssize_t>(frame.size()) && std::equal(frame.begin(), frame.end(), got.begin())) {
            return from.sll_pkttype;
        }
    }
    return -1;
}

// The test's own network namespace with a veth pair, made in a child
// process so the test binary's other tests keep the host's; the child's exit
// status is the number of failed checks, 99 when it could not be set up.
template <typename Body>
int inVethNamespace(Body body) {
    const pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0 ||
            std::system("ip link add sondrel0 type veth peer name sondrel1 && ip link set sondrel0 up && "
                        "ip link set sondrel1 up && ip link set lo up") != 0)
            _exit(99);
        _exit(body(static_cast<int>(if_nametoindex("sondrel0"))));
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

// A program's packet-socket writes reach the capture thread, which pairs
// them with the owner events' sends; the veth end captured sees each frame
// once, on its way out. The owner probes' tracepoint fires when the send
// returns, so only the second frame finds the map written. On loopback the
// outgoing copy is never counted: libpcap drops it, as it comes back in.
TEST(BpfFlowCounter, PassesFramesWrittenThroughAPacketSocket) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to load BPF programs";
    const int failures = inVethNamespace([](int veth) {
        std::string whyNot;
        const auto owners = BpfOwnerEvents::open(whyNot);
        const auto counter = BpfFlowCounter::open(whyNot, {.packetSendSeenFd = owners ? owners->packetSendSeenFd() : -1});
        if (!owners || !counter || veth == 0) {
            std::fprintf(stderr, "not set up: %s\n", whyNot.c_str());
            return 99;
        }
        int failed = 0;
        for (const int device : {veth, 1}) {
            sockaddr_ll link{};
            link.sll_family = AF_PACKET;
            link.sll_protocol = htons(ETH_P_ALL);
            link.sll_ifindex = device;
            const FileDescriptor capture(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL)));
            const FileDescriptor sender(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
            if (bind(capture.get(), reinterpret_cast<const sockaddr*>(&link), sizeof link) != 0 ||
                !counter->attach(capture.get(), LinkType::Ethernet, false))
                return 99;
            const Bytes first = onLink(LinkType::Ethernet, ipv4({.protocol = 17, .srcPort = 47001, .dstPort = 9}));
            const Bytes second = onLink(LinkType::Ethernet, ipv4({.protocol = 17, .srcPort = 47002, .dstPort = 9}));
            drained(*counter);
            for (const Bytes* frame : {&first, &second}) {
                sendto(sender.get(), frame->data(), frame->size(), 0, reinterpret_cast<const sockaddr*>(&link),
                       sizeof link);
            }
            std::uint64_t secondPackets = 0;
            const int seen = arrival(capture.get(), second);
            for (const FlowDelta& delta : drained(*counter)) {
                if (delta.record.srcPort == 47002) secondPackets += delta.packets;
            }
            // The veth end: passed on its way out, counted nowhere here. Loopback: dropped on its
            // way out, counted in the kernel on its way in, so never seen.
            failed += device == veth ? (seen != PACKET_OUTGOING) + (secondPackets != 0)
                                     : (seen != -1) + (secondPackets != 1);
        }
        return failed;
    });
    ASSERT_NE(failures, 99) << "no network namespace with a veth pair, or the programs did not load";
    EXPECT_EQ(failures, 0);
}

// Two programs after one another on one UDP port, as one process ends and
// the next binds its port: the kernel keeps their datagrams apart, each flow
// dated by its own first packet, so the window can give each its owner.
TEST(BpfFlowCounter, AUdpPortsNextProgramStartsFlowsOfItsOwn) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to load BPF programs";
    const int failures = inVethNamespace([](int) {
        std::string whyNot;
        const auto owners = BpfOwnerEvents::open(whyNot);
        if (owners && owners->hooksInUse().find("net_dev_queue") == std::string::npos) return 97;
        const auto counter = BpfFlowCounter::open(whyNot, {.portSendersFd = owners ? owners->portSendersFd() : -1});
        sockaddr_ll link{};
        link.sll_family = AF_PACKET;
        link.sll_protocol = htons(ETH_P_ALL);
        link.sll_ifindex = 1;
        const FileDescriptor capture(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL)));
        if (!owners || !counter ||
            bind(capture.get(), reinterpret_cast<const sockaddr*>(&link), sizeof link) != 0 ||
            !counter->attach(capture.get(), LinkType::Ethernet, false)) {
            std::fprintf(stderr, "not set up: %s\n", whyNot.c_str());
            return 99;
        }
        constexpr std::uint16_t kPort = 47111;
        const auto program = [] {
            const pid_t child = fork();
            if (child == 0) {
                const int udp = socket(AF_INET, SOCK_DGRAM, 0);
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                address.sin_port = htons(kPort);
                if (bind(udp, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) _exit(1);
                address.sin_port = htons(9);
                for (int i = 0; i < 3; ++i)
                    sendto(udp, "datagram", 8, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
                _exit(0);
            }
            int status = 0;
            waitpid(child, &status, 0);
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        };
        drained(*counter);
        if (!program()) return 99;
        usleep(10'000);
        if (!program()) return 99;
        std::vector<FlowDelta> flows;
        for (const FlowDelta& delta : drained(*counter)) {
            if (delta.record.srcPort == kPort) flows.push_back(delta);
        }
        std::sort(flows.begin(), flows.end(),
                  [](const FlowDelta& a, const FlowDelta& b) { return a.record.timeNs < b.record.timeNs; });
        if (flows.size() != 2) return 10 + int(flows.size());
        return (flows[0].packets != 3) + (flows[1].packets != 3) +
               (flows[1].record.timeNs - flows[0].record.timeNs < 10'000'000);
    });
    if (failures == 97) GTEST_SKIP() << "the kernel has no net_dev_queue tracepoint for the owner probes";
    ASSERT_NE(failures, 99) << "no network namespace, or the programs did not load";
    EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace sondrel
