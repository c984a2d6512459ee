#include "probe/flow_aggregator.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <tuple>
#include <utility>

namespace sondrel::probe {
namespace {

using FlowKey = std::tuple<std::uint8_t, std::uint16_t, std::uint32_t, std::uint32_t, Ipv6Address, Ipv6Address,
                           std::uint16_t, std::uint16_t, std::uint32_t>;

FlowKey keyOf(const PacketRecord& r) {
    return {r.family, r.protocol, r.srcAddr, r.dstAddr, r.src6, r.dst6, r.srcPort, r.dstPort, r.interfaceIndex};
}

// Few distinct values per field, so that flows repeat, trains of one flow
// alternate with others, and keys differ in a single field.
PacketRecord randomPacket(std::mt19937& random, std::int64_t timeNs) {
    const auto pick = [&](std::uint32_t n) { return std::uint32_t(random() % n); };
    PacketRecord r;
    r.family = pick(2) ? kFamilyIpv6 : kFamilyIpv4;
    if (r.family == kFamilyIpv6) {
        r.src6[15] = std::uint8_t(pick(3));
        r.dst6[0] = std::uint8_t(pick(2));
    } else {
        r.srcAddr = pick(3);
        r.dstAddr = pick(2) << 24;
    }
    r.protocol = pick(2) ? 6 : 17;
    r.srcPort = std::uint16_t(pick(3));
    r.dstPort = std::uint16_t(pick(2) * 443);
    r.interfaceIndex = pick(2);
    r.length = 40 + pick(1500);
    r.timeNs = timeNs;
    return r;
}

// The aggregate of every round equals per-key sums kept in a plain map: no
// byte lost or joined to the wrong flow, one flow per key, dated by its first packet.
TEST(FlowAggregator, EachRoundSumsItsPacketsByFlowAsAPlainMapDoes) {
    std::mt19937 random(7);
    FlowAggregator aggregator;
    std::int64_t time = 1'000;
    for (int round = 0; round < 50; ++round) {
        struct Sum {
            std::uint64_t bytes = 0, packets = 0, entries = 0;
            std::int64_t firstNs = INT64_MAX;
            bool aggregated = false;
        };
        // A packet added alone and a kernel count are entries of their own, even beside their flow's.
        std::map<FlowKey, Sum> model;
        const int packets = round == 3 ? 20'000 : int(random() % 300);
        for (int i = 0; i < packets; ++i) {
            const PacketRecord packet = randomPacket(random, ++time);
            Sum& sum = model[keyOf(packet)];
            if (random() % 50 == 0) {
                aggregator.addAlone(packet);
                sum.bytes += packet.length;
                ++sum.packets;
                ++sum.entries;
                sum.firstNs = std::min(sum.firstNs, packet.timeNs);
                continue;
            }
            // What the kernel counted is an entry of its own, as a packet added alone.
            if (random() % 4 == 0) {
                FlowDelta counted{packet, packet.length * 3ull, 3};
                counted.record.timeNs -= 500;
                aggregator.add(counted);
                sum.bytes += counted.bytes;
                sum.packets += 3;
                ++sum.entries;
                sum.firstNs = std::min(sum.firstNs, counted.record.timeNs);
            } else {
                if (!std::exchange(sum.aggregated, true)) ++sum.entries;
                aggregator.add(packet);
                sum.bytes += packet.length;
                ++sum.packets;
                sum.firstNs = std::min(sum.firstNs, packet.timeNs);
            }
        }
        std::map<FlowKey, Sum> seen;
        for (const FlowDelta& flow : aggregator.flows()) {
            EXPECT_EQ(flow.record.length, 0u);
            Sum& sum = seen[keyOf(flow.record)];
            sum.bytes += flow.bytes;
            sum.packets += flow.packets;
            ++sum.entries;
            sum.firstNs = std::min(sum.firstNs, flow.record.timeNs);
        }
        ASSERT_EQ(seen.size(), model.size()) << "round " << round;
        for (const auto& [key, sum] : model) {
            EXPECT_EQ(seen[key].bytes, sum.bytes);
            EXPECT_EQ(seen[key].packets, sum.packets);
            EXPECT_EQ(seen[key].entries, sum.entries);
            if (sum.entries == 1) {
                EXPECT_EQ(seen[key].firstNs, sum.firstNs);
            }
        }
        aggregator.clear();
    }
}

}  // namespace
}  // namespace sondrel::probe
