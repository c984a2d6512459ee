#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "wire/commands.h"
#include "wire/events.h"

namespace sondrel::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Reads every frame of a stream fed one byte at a time, as the smallest reads would deliver it.
std::vector<std::pair<Kind, Bytes>> framesOf(const Bytes& stream, bool (*accept)(Kind), ReadStatus& last) {
    FrameReader reader(accept);
    std::vector<std::pair<Kind, Bytes>> frames;
    last = ReadStatus::NeedMore;
    for (const std::uint8_t byte : stream) {
        reader.feed(std::span(&byte, 1));
        Frame frame;
        while ((last = reader.next(frame)) == ReadStatus::Frame) frames.emplace_back(frame.kind, Bytes(frame.body.begin(), frame.body.end()));
        if (last == ReadStatus::Invalid) break;
    }
    return frames;
}

FlowDelta ipv4Flow() {
    PacketRecord r{0x0100E70A, 0x0200E70A, 0, 53, 40000, 17};
    r.timeNs = 1'700'000'000'123'456'789;
    return FlowDelta{r, 3000, 2};
}

FlowDelta ipv6Flow() {
    PacketRecord r;
    r.family = kFamilyIpv6;
    r.srcPort = 443;
    r.dstPort = 50000;
    r.protocol = 6;
    r.timeNs = -5;
    for (int i = 0; i < 16; ++i) {
        r.src6[std::size_t(i)] = std::uint8_t(0x20 + i);
        r.dst6[std::size_t(i)] = std::uint8_t(0xF0 - i);
    }
    // The largest bytes a packet count allows: BIG TCP aggregates.
    return FlowDelta{r, 5 * kMaxPacketBytes, 5};
}

bool sameFlow(const FlowDelta& x, const FlowDelta& y) {
    const PacketRecord& a = x.record;
    const PacketRecord& b = y.record;
    return x.bytes == y.bytes && x.packets == y.packets && a.srcAddr == b.srcAddr && a.dstAddr == b.dstAddr && a.dstPort == b.dstPort &&
           a.srcPort == b.srcPort && a.protocol == b.protocol && a.family == b.family && a.timeNs == b.timeNs &&
           a.src6 == b.src6 && a.dst6 == b.dst6 && a.interfaceIndex == b.interfaceIndex && a.localEnds == b.localEnds;
}

TEST(HelperMessages, EveryMessageComesBackAsItWasSent) {
    Bytes stream;
    encodeHello(stream);
    const CaptureSet named{CaptureSet::Kind::Names, 0, {"eth0", "wg0"}};
    encodeStartCapture(stream, named);
    encodeEmpty(stream, Kind::StopCapture);
    std::vector<FlowDelta> flows = {ipv4Flow(), ipv6Flow()};
    flows[0].record.interfaceIndex = 0xFFFFFFFE;
    flows[1].record.localEnds = kEndsKnown | kSourceLocal | kDestinationLocal;
    encodeFlows(stream, flows);
    const std::vector<OwnerClaim> claims = {{-1, 17, 53, kCarriesIpv4, false, "/usr/sbin/dnsd"},
                                            {99, 6, 443, kCarriesIpv4 | kCarriesIpv6, true, ""},
                                            {7, 17, 4789, kCarriesIpv4, false, "vx0 tunnel", true}};
    encodeOwnerClaims(stream, claims);
    encodeClaimsComplete(stream, 1234);
    encodeMessage(stream, Message{MessageIcon::Error, "Error", "Unable to open the adapter!\nreason"});
    encodeCaptureState(stream, CaptureState{CaptureStateKind::Failed, 7, "eth0", "gone"});
    encodeStatistics(stream, Statistics{10, 2});
    encodeAttribution(stream, Attribution{AttributionMode::Ebpf, "tp_btf"});
    encodeExecFailed(stream, 13);
    const CapturedInterfaces interfaces = {{3, "eth0", {0x0100000A, 0x0200000A}, {ipv6Flow().record.src6}}, {1, "lo", {}, {}}};
    encodeInterfaces(stream, interfaces);

    ReadStatus last;
    const auto frames = framesOf(stream, [](Kind) { return true; }, last);
    ASSERT_EQ(frames.size(), 12u);
    EXPECT_EQ(last, ReadStatus::NeedMore);
    EXPECT_EQ(decodeHello(frames[0].second)->magic, kMagic);
    EXPECT_EQ(decodeStartCapture(frames[1].second), named);
    EXPECT_TRUE(frames[2].second.empty());
    std::vector<FlowDelta> decoded;
    ASSERT_TRUE(decodeFlows(frames[3].second, decoded));
    ASSERT_EQ(decoded.size(), 2u);
    EXPECT_TRUE(sameFlow(decoded[0], flows[0]));
    EXPECT_TRUE(sameFlow(decoded[1], flows[1]));
    std::vector<OwnerClaim> decodedClaims;
    ASSERT_TRUE(decodeOwnerClaims(frames[4].second, decodedClaims));
    ASSERT_EQ(decodedClaims.size(), 3u);
    EXPECT_TRUE(decodedClaims[2].tunnel && !decodedClaims[0].tunnel && !decodedClaims[1].tunnel);
    EXPECT_EQ(decodedClaims[0].label, "/usr/sbin/dnsd");
    EXPECT_EQ(decodedClaims[0].sinceNs, -1);
    EXPECT_TRUE(decodedClaims[1].unreadable);
    EXPECT_EQ(decodedClaims[1].carries, kCarriesIpv4 | kCarriesIpv6);
    EXPECT_EQ(decodeClaimsComplete(frames[5].second), 1234);
    EXPECT_EQ(decodeMessage(frames[6].second)->text, "Unable to open the adapter!\nreason");
    EXPECT_EQ(decodeCaptureState(frames[7].second)->interfaceName, "eth0");
    EXPECT_EQ(decodeStatistics(frames[8].second)->packetsDropped, 2u);
    EXPECT_EQ(decodeAttribution(frames[9].second)->mode, AttributionMode::Ebpf);
    EXPECT_EQ(decodeExecFailed(frames[10].second), 13);
    CapturedInterfaces decodedInterfaces;
    ASSERT_TRUE(decodeInterfaces(frames[11].second, decodedInterfaces));
    EXPECT_EQ(decodedInterfaces, interfaces);
}

// A peer that breaks the framing is not read any further.
TEST(FrameReader, RefusesWhatItsSideMustNotReceive) {
    Bytes packets;
    encodeFlows(packets, std::vector<FlowDelta>{ipv4Flow()});
    Bytes oversized = {std::uint8_t(Kind::StopCapture), 0, 0, 5, 1, 2, 3, 4, 5};
    Bytes unknownKind = {99, 0, 0, 0};
    Bytes hello;
    encodeHello(hello);
    const struct {
        const char* name;
        Bytes stream;
        bool (*accept)(Kind);
        std::size_t frames;
        ReadStatus last;
    } rows[] = {
        {"events are no commands", packets, isCommand, 0, ReadStatus::Invalid},
        {"commands are no events", Bytes{std::uint8_t(Kind::Shutdown), 0, 0, 0}, isEvent, 0, ReadStatus::Invalid},
        {"body longer than its kind allows", oversized, isCommand, 0, ReadStatus::Invalid},
        {"unknown kind", unknownKind, isEvent, 0, ReadStatus::Invalid},
        {"frame cut short waits", Bytes(hello.begin(), hello.end() - 1), isEvent, 0, ReadStatus::NeedMore},
        {"nothing after a broken frame", [&] {
             Bytes b = unknownKind;
             b.insert(b.end(), hello.begin(), hello.end());
             return b;
         }(),
         isEvent, 0, ReadStatus::Invalid},
    };
    for (const auto& row : rows) {
        ReadStatus last;
        EXPECT_EQ(framesOf(row.stream, row.accept, last).size(), row.frames) << row.name;
        EXPECT_EQ(last, row.last) << row.name;
    }
}

// Bodies are checked to the byte: each of these is one change away from a valid one.
TEST(HelperMessages, RefusesBodiesThatAreNotExactlyRight) {
    const auto body = [](const std::function<void(Bytes&)>& encode) {
        Bytes frame;
        encode(frame);
        return Bytes(frame.begin() + kHeaderSize, frame.end());
    };
    const Bytes packets = body([](Bytes& b) { encodeFlows(b, std::vector<FlowDelta>{ipv4Flow()}); });
    const Bytes claim = body([](Bytes& b) {
        encodeOwnerClaims(b, std::vector<OwnerClaim>{{0, 17, 53, kCarriesIpv4, false, "/bin/x"}});
    });
    const auto changed = [](Bytes bytes, std::size_t at, std::uint8_t value) {
        bytes[at] = value;
        return bytes;
    };
    const auto cut = [](Bytes bytes, std::size_t by) {
        bytes.resize(bytes.size() - by);
        return bytes;
    };
    const auto longer = [](Bytes bytes) {
        bytes.push_back(0);
        return bytes;
    };
    std::vector<FlowDelta> records;
    std::vector<OwnerClaim> claims;
    // Flow layout after the count: time 8, bytes 8, packets 8, ports 2+2, protocol 2, family 1, local ends 1,
    // addresses 32.
    EXPECT_FALSE(decodeFlows(cut(packets, 1), records)) << "record cut short";
    EXPECT_FALSE(decodeFlows(longer(packets), records)) << "byte after the records";
    EXPECT_FALSE(decodeFlows(changed(packets, 4 + 30, 5), records)) << "family 5";
    EXPECT_FALSE(decodeFlows(changed(packets, 4 + 31, 8), records)) << "local ends beyond their flags";
    EXPECT_FALSE(decodeFlows(changed(packets, 4 + 29, 1), records)) << "protocol above 255";
    EXPECT_FALSE(decodeFlows(changed(packets, 4 + 36, 1), records)) << "IPv4 source with bytes beyond four";
    EXPECT_FALSE(decodeFlows(changed(packets, 4 + 16, 0), records)) << "no packets";
    EXPECT_FALSE(decodeFlows(changed(packets, 4 + 10, 0xFF), records)) << "more bytes than its packets can hold";
    const Bytes huge = body([](Bytes& b) {
        FlowDelta flow = ipv4Flow();
        flow.packets = std::uint64_t(1) << 30;
        flow.bytes = kMaxFlowBytes + 1;
        encodeFlows(b, std::vector<FlowDelta>{flow});
    });
    EXPECT_FALSE(decodeFlows(huge, records)) << "more bytes than one flow may carry in a round";
    EXPECT_FALSE(decodeFlows(changed(packets, 0, 2), records)) << "count larger than the body";
    EXPECT_TRUE(records.empty());
    // Claim layout after the count: since 8, protocol 1, port 2, carries 1, flags 1, address 16, label length 2, label.
    EXPECT_FALSE(decodeOwnerClaims(changed(claim, 4 + 8, 2), claims)) << "protocol 2 keyed by a port";
    EXPECT_FALSE(decodeOwnerClaims(changed(claim, 4 + 11, 0), claims)) << "carries nothing";
    EXPECT_FALSE(decodeOwnerClaims(changed(claim, 4 + 11, 4), claims)) << "carries an unknown family";
    EXPECT_FALSE(decodeOwnerClaims(changed(claim, 4 + 12, 1), claims)) << "unreadable owner with a label";
    EXPECT_FALSE(decodeOwnerClaims(changed(claim, 4 + 12, 4), claims)) << "raw socket with a port";
    EXPECT_FALSE(decodeOwnerClaims(changed(claim, 4 + 12, 8), claims)) << "unknown flag";
    EXPECT_FALSE(decodeOwnerClaims(changed(claim, 4 + 13, 1), claims)) << "address on a port claim";
    EXPECT_FALSE(decodeOwnerClaims(changed(claim, 4 + 29, 7), claims)) << "label longer than the body";
    EXPECT_FALSE(decodeOwnerClaims(longer(claim), claims)) << "byte after the claims";
    EXPECT_TRUE(claims.empty());
    EXPECT_FALSE(decodeHello(Bytes(7))) << "hello with a byte too many";
    EXPECT_FALSE(decodeStartCapture(Bytes(3))) << "address of three bytes";
    EXPECT_FALSE(decodeStartCapture(Bytes{1, 0, 0, 0, 0, 0})) << "a list of no names";
    EXPECT_FALSE(decodeStartCapture(Bytes{2, 1, 0, 0, 0, 0})) << "all with an address";
    EXPECT_FALSE(decodeStartCapture(Bytes{3, 0, 0, 0, 0, 0})) << "unknown kind";
    EXPECT_FALSE(decodeStartCapture(Bytes{1, 0, 0, 0, 0, 1, 2, 0, 'a', '/'})) << "name with a slash";
    EXPECT_FALSE(decodeStartCapture(Bytes{1, 0, 0, 0, 0, 2, 1, 0, 'a', 1, 0, 'a'})) << "name twice";
    EXPECT_TRUE(decodeStartCapture(Bytes{1, 0, 0, 0, 0, 2, 1, 0, 'a', 1, 0, 'b'})) << "two names";
    EXPECT_FALSE(decodeMessage(Bytes{4, 0, 0, 0, 0})) << "unknown icon";
    EXPECT_FALSE(decodeAttribution(Bytes{0, 0, 0})) << "attribution kind 0";
    EXPECT_FALSE(decodeCaptureState(Bytes{3, 0, 0, 0, 0, 0, 0, 0, 0})) << "unknown capture state";
    const Bytes statistics = body([](Bytes& b) { encodeStatistics(b, Statistics{10, 0, 10, 0}); });
    EXPECT_TRUE(decodeStatistics(statistics));
    EXPECT_FALSE(decodeStatistics(changed(statistics, 16, 11))) << "more counted in the kernel than in all";
}

TEST(HelperMessages, LongTextsAreCutAtACharacterBoundary) {
    // 2047 ASCII bytes, then a two-byte character that would end one byte past the limit.
    const std::string label = std::string(kMaxLabelBytes - 1, 'a') + "\xC3\xA9";
    Bytes frame;
    encodeOwnerClaims(frame, std::vector<OwnerClaim>{{0, 6, 1, kCarriesIpv4, false, label}});
    std::vector<OwnerClaim> claims;
    ASSERT_TRUE(decodeOwnerClaims(std::span(frame).subspan(kHeaderSize), claims));
    EXPECT_EQ(claims[0].label, std::string(kMaxLabelBytes - 1, 'a'));
}

}  // namespace
}  // namespace sondrel::wire
