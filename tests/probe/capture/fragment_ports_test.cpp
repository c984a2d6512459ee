#include "probe/capture/fragment_ports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "probe/capture/decode_frame.h"
#include "tests/support/decode_frame_bytes.h"
#include "tests/support/test_frames.h"

namespace sondrel {
namespace {

using test::Bytes;
using test::ipv4;
using test::ipv6;
using test::onLink;

const test::Address kA{10, 200, 0, 1};
const test::Address kB{10, 200, 0, 2};
constexpr std::uint8_t kUdp = 17;

// A later fragment's first payload bytes, which must never be read as ports.
constexpr std::uint16_t kPayloadWord = 0x4142;

Bytes first4(std::uint16_t id, std::uint16_t srcPort, std::uint16_t dstPort, std::uint8_t protocol = kUdp) {
    return onLink(LinkType::Ethernet, ipv4({.protocol = protocol, .totalLength = 1500, .srcPort = srcPort,
                                            .dstPort = dstPort, .identification = id, .flagsAndOffset = 0x2000}));
}

Bytes later4(std::uint16_t id, std::uint16_t offset, bool more, std::uint8_t protocol = kUdp,
             const test::Address& src = kA) {
    return onLink(LinkType::Ethernet,
                  ipv4({.protocol = protocol, .totalLength = 620, .src = src, .dst = kB, .srcPort = kPayloadWord,
                        .dstPort = kPayloadWord, .identification = id,
                        .flagsAndOffset = static_cast<std::uint16_t>((more ? 0x2000 : 0) | offset)}));
}

// The fragmentable part starts with a destination options header, so only
// the first fragment names UDP.
Bytes first6(std::uint32_t id, std::uint16_t srcPort, std::uint16_t dstPort) {
    return onLink(LinkType::Ethernet,
                  ipv6({.payloadLength = 1240,
                        .extensions = {{.type = test::kFragmentHeader, .moreFragments = true, .identification = id},
                                       {.type = test::kDestinationOptions}},
                        .upper = kUdp,
                        .srcPort = srcPort,
                        .dstPort = dstPort}),
                  0x86DD);
}

Bytes later6(std::uint32_t id, std::uint16_t offset, bool more) {
    return onLink(LinkType::Ethernet,
                  ipv6({.payloadLength = 400,
                        .extensions = {{.type = test::kFragmentHeader, .fragmentOffset = offset,
                                        .moreFragments = more, .identification = id}},
                        .upper = test::kDestinationOptions,
                        .srcPort = kPayloadWord,
                        .dstPort = kPayloadWord}),
                  0x86DD);
}

struct Step {
    Bytes frame;
    std::int64_t timeUs;
    std::uint16_t srcPort;  // expected in the queued record
    std::uint16_t dstPort;
    std::uint16_t protocol;
};

struct FragmentCase {
    std::string name;
    std::vector<Step> steps;
};

void PrintTo(const FragmentCase& c, std::ostream* out) {
    *out << c.name;
}

std::vector<PacketRecord> dispatch(const std::vector<Step>& steps) {
    PacketQueue queue;
    DecodeContext context{&queue, LinkType::Ethernet};
    for (const Step& step : steps) {
        const pcap_pkthdr header{{step.timeUs / 1'000'000, step.timeUs % 1'000'000},
                                 static_cast<bpf_u_int32>(step.frame.size()),
                                 static_cast<bpf_u_int32>(step.frame.size())};
        DecodeFrame(reinterpret_cast<u_char*>(&context), &header, step.frame.data());
    }
    return {queue.records().begin(), queue.records().end()};
}

class FragmentSequences : public testing::TestWithParam<FragmentCase> {};

TEST_P(FragmentSequences, LaterFragmentsTakeThePortsOfTheirFirst) {
    const auto& steps = GetParam().steps;
    const std::vector<PacketRecord> records = dispatch(steps);
    ASSERT_EQ(records.size(), steps.size());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(records[i].srcPort, steps[i].srcPort) << "step " << i;
        EXPECT_EQ(records[i].dstPort, steps[i].dstPort) << "step " << i;
        EXPECT_EQ(records[i].protocol, steps[i].protocol) << "step " << i;
        EXPECT_EQ(records[i].length, decodeFrameBytes(steps[i].frame, LinkType::Ethernet)->length) << "step " << i;
    }
}

constexpr std::int64_t kSecond = 1'000'000;
constexpr std::int64_t kT0 = 1'700'000'000 * kSecond;

INSTANTIATE_TEST_SUITE_P(
    Fragments, FragmentSequences,
    testing::Values(
        FragmentCase{"Ipv4FirstMiddleLast",
                     {{first4(7, 5000, 53), kT0, 5000, 53, kUdp},
                      {later4(7, 185, true), kT0 + 5, 5000, 53, kUdp},
                      {later4(7, 370, false), kT0 + 9, 5000, 53, kUdp}}},
        FragmentCase{"Ipv6FirstMiddleLastLendProtocolToo",
                     {{first6(0x01020304, 5000, 53), kT0, 5000, 53, kUdp},
                      {later6(0x01020304, 154, true), kT0 + 5, 5000, 53, kUdp},
                      {later6(0x01020304, 308, false), kT0 + 9, 5000, 53, kUdp}}},
        FragmentCase{"UnmatchedCountWithPortsZero",
                     {{later4(9, 185, false), kT0, 0, 0, kUdp},
                      {later6(9, 154, false), kT0, 0, 0, test::kDestinationOptions}}},
        FragmentCase{"LaterBeforeItsFirstIsUnmatched",
                     {{later4(3, 185, false), kT0, 0, 0, kUdp},
                      {first4(3, 6000, 7000), kT0 + 1, 6000, 7000, kUdp},
                      {later4(3, 185, false), kT0 + 2, 6000, 7000, kUdp}}},
        FragmentCase{"IdentificationSourceAndProtocolAreTheKey",
                     {{first4(5, 6000, 7000), kT0, 6000, 7000, kUdp},
                      {later4(6, 185, false), kT0, 0, 0, kUdp},
                      {later4(5, 185, false, kUdp, {10, 200, 0, 3}), kT0, 0, 0, kUdp},
                      {later4(5, 185, false, 6), kT0, 0, 0, 6},
                      {later6(5, 185, false), kT0, 0, 0, test::kDestinationOptions},
                      {later4(5, 185, false), kT0, 6000, 7000, kUdp}}},
        FragmentCase{"WindowOfTwoSecondsOfCaptureTime",
                     {{first4(1, 6000, 7000), kT0, 6000, 7000, kUdp},
                      {later4(1, 185, true), kT0 + 2 * kSecond, 6000, 7000, kUdp},
                      {later4(1, 370, false), kT0 + 2 * kSecond + 1, 0, 0, kUdp}}},
        FragmentCase{"ReusedIdentificationTakesTheNewPorts",
                     {{first4(2, 1000, 2000), kT0, 1000, 2000, kUdp},
                      {first4(2, 3000, 4000), kT0 + 1, 3000, 4000, kUdp},
                      {later4(2, 185, false), kT0 + 2, 3000, 4000, kUdp}}}),
    [](const auto& info) { return info.param.name; });

TEST(FragmentTable, OldestFirstFragmentMakesRoomWhenFull) {
    std::vector<Step> steps;
    for (std::uint16_t id = 0; id <= FragmentPorts::kCapacity; ++id) {
        steps.push_back({first4(id, 1000, id), kT0, 1000, id, kUdp});
    }
    steps.push_back({later4(0, 185, false), kT0, 0, 0, kUdp});
    steps.push_back({later4(1, 185, false), kT0, 1000, 1, kUdp});
    steps.push_back({later4(FragmentPorts::kCapacity, 185, false), kT0, 1000, FragmentPorts::kCapacity, kUdp});
    const std::vector<PacketRecord> records = dispatch(steps);
    ASSERT_EQ(records.size(), steps.size());
    for (std::size_t i = steps.size() - 3; i < steps.size(); ++i) {
        EXPECT_EQ(records[i].dstPort, steps[i].dstPort) << "step " << i;
    }
}

TEST(DecodeFrameHandler, StampsTheCaptureTime) {
    const struct {
        const char* name;
        timeval ts;
        bool nanosecondHandle;
        std::int64_t expected;
    } rows[] = {
        {"microseconds", {1'700'000'000, 250'000}, false, 1'700'000'000'250'000'000},
        {"nanoseconds", {1'700'000'000, 250'000}, true, 1'700'000'000'000'250'000},
        {"epoch", {0, 0}, false, 0},
        {"last microsecond", {1, 999'999}, false, 1'999'999'000},
    };
    const Bytes frame = onLink(LinkType::Ethernet, ipv4({}));
    for (const auto& row : rows) {
        PacketQueue queue;
        DecodeContext context{&queue, LinkType::Ethernet, row.nanosecondHandle};
        const pcap_pkthdr header{row.ts, static_cast<bpf_u_int32>(frame.size()), static_cast<bpf_u_int32>(frame.size())};
        DecodeFrame(reinterpret_cast<u_char*>(&context), &header, frame.data());
        ASSERT_EQ(queue.records().size(), 1u) << row.name;
        EXPECT_EQ(queue.records().front().timeNs, row.expected) << row.name;
    }
}

}  // namespace
}  // namespace sondrel
