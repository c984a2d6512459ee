#include "wire/events.h"

#include <algorithm>
#include <cstring>

#include "wire/body_codec.h"

namespace sondrel::wire {

namespace {

// A flow travels as: time of its first packet, bytes, packets, source port,
// destination port, protocol, family, which ends are local, both addresses in
// 16 bytes each (an IPv4 address in the first four, the rest zero), then the
// interface index.
void writeFlow(std::uint8_t* out, const FlowDelta& flow) {
    const PacketRecord& record = flow.record;
    const auto put = [&out](std::uint64_t value, int size) {
        for (int i = 0; i < size; ++i) *out++ = std::uint8_t(value >> (8 * i));
    };
    put(std::uint64_t(record.timeNs), 8);
    put(flow.bytes, 8);
    put(flow.packets, 8);
    put(record.srcPort, 2);
    put(record.dstPort, 2);
    put(record.protocol, 2);
    *out++ = record.family;
    *out++ = record.localEnds;
    if (record.family == kFamilyIpv6) {
        std::memcpy(out, record.src6.data(), 16);
        std::memcpy(out + 16, record.dst6.data(), 16);
    } else {
        std::memset(out, 0, 32);
        std::memcpy(out, &record.srcAddr, 4);
        std::memcpy(out + 16, &record.dstAddr, 4);
    }
    out += 32;
    put(record.interfaceIndex, 4);
}

bool readFlow(const std::uint8_t* in, FlowDelta& flow) {
    PacketRecord& record = flow.record;
    const auto get = [&in](int size) {
        std::uint64_t value = 0;
        for (int i = 0; i < size; ++i) value |= std::uint64_t(*in++) << (8 * i);
        return value;
    };
    record.timeNs = std::int64_t(get(8));
    flow.bytes = get(8);
    flow.packets = get(8);
    record.length = 0;
    record.srcPort = std::uint16_t(get(2));
    record.dstPort = std::uint16_t(get(2));
    record.protocol = std::uint16_t(get(2));
    record.family = *in++;
    record.localEnds = *in++;
    // Each packet has at most kMaxPacketBytes, so no sum in the window can overflow.
    if (flow.packets == 0 || flow.packets > kMaxFlowPackets || flow.bytes > flow.packets * kMaxPacketBytes ||
        flow.bytes > kMaxFlowBytes)
        return false;
    if (record.localEnds > (kEndsKnown | kSourceLocal | kDestinationLocal) || record.protocol > 255) return false;
    const std::uint8_t* addresses = in;
    in += 32;
    record.interfaceIndex = std::uint32_t(get(4));
    in = addresses;
    if (record.family == kFamilyIpv6) {
        std::memcpy(record.src6.data(), in, 16);
        std::memcpy(record.dst6.data(), in + 16, 16);
        record.srcAddr = record.dstAddr = 0;
        return true;
    }
    if (record.family != kFamilyIpv4) return false;
    static constexpr std::uint8_t kZeros[12] = {};
    if (std::memcmp(in + 4, kZeros, 12) != 0 || std::memcmp(in + 20, kZeros, 12) != 0) return false;
    std::memcpy(&record.srcAddr, in, 4);
    std::memcpy(&record.dstAddr, in + 16, 4);
    record.src6 = {};
    record.dst6 = {};
    return true;
}

// The pipe's values for the attribution modes, fixed whatever the enum's order.
std::uint8_t attributionByte(AttributionMode mode) {
    switch (mode) {
    case AttributionMode::Ebpf: return 1;
    case AttributionMode::ProcPolling: return 2;
    case AttributionMode::None: return 3;
    case AttributionMode::Unknown: break;
    }
    return 0;  // the window refuses it
}

bool attributionFromByte(std::uint8_t value, AttributionMode& mode) {
    switch (value) {
    case 1: mode = AttributionMode::Ebpf; return true;
    case 2: mode = AttributionMode::ProcPolling; return true;
    case 3: mode = AttributionMode::None; return true;
    default: return false;
    }
}

}  // namespace

void encodeFlows(std::vector<std::uint8_t>& out, std::span<const FlowDelta> flows) {
    const std::size_t count = std::min(flows.size(), kMaxFlowsPerFrame);
    const std::size_t length = 4 + count * kFlowRecordSize;
    out.reserve(out.size() + kHeaderSize + length);
    // Records are written in place: a frame may hold thousands of them.
    const std::size_t header = out.size();
    out.resize(header + kHeaderSize);
    writeHeader(out.data() + header, Kind::Flows, length);
    for (int i = 0; i < 4; ++i) out.push_back(std::uint8_t(count >> (8 * i)));
    const std::size_t at = out.size();
    out.resize(at + count * kFlowRecordSize);
    for (std::size_t i = 0; i < count; ++i) writeFlow(out.data() + at + i * kFlowRecordSize, flows[i]);
}

bool decodeFlows(std::span<const std::uint8_t> body, std::vector<FlowDelta>& flows) {
    BodyReader reader(body);
    std::uint32_t count;
    if (!reader.u32(count) || count > kMaxFlowsPerFrame || reader.left() != count * kFlowRecordSize) return false;
    const std::size_t first = flows.size();
    flows.resize(first + count);
    for (std::size_t i = 0; i < count; ++i) {
        if (!readFlow(body.data() + 4 + i * kFlowRecordSize, flows[first + i])) {
            flows.resize(first);
            return false;
        }
    }
    return true;
}

// A claim travels as: since, protocol, port, families carried, flags
// (unreadable, tunnel, raw), the raw socket's address (zero otherwise), label.
void encodeOwnerClaims(std::vector<std::uint8_t>& out, std::span<const OwnerClaim> claims) {
    const std::size_t count = std::min(claims.size(), kMaxClaimsPerFrame);
    BodyWriter body;
    body.u32(std::uint32_t(count));
    for (std::size_t i = 0; i < count; ++i) {
        const OwnerClaim& claim = claims[i];
        body.i64(claim.sinceNs);
        body.u8(std::uint8_t(claim.protocol));
        body.u16(claim.localPort);
        body.u8(claim.carries);
        body.u8(std::uint8_t((claim.unreadable ? kClaimUnreadable : 0) | (claim.tunnel ? kClaimTunnel : 0) |
                             (claim.raw ? kClaimRaw : 0)));
        body.bytes(claim.localAddress.data(), claim.localAddress.size());
        body.text(claim.label, kMaxLabelBytes);
    }
    body.finish(out, Kind::OwnerClaims);
}

namespace {

bool allZero(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t byte) { return byte == 0; });
}

// What the helper never sends: a port-keyed claim of another protocol or with
// an address, a raw one with a port or on both families, a tunnel that is not UDP.
bool claimIsSound(const OwnerClaim& claim, std::uint8_t flags) {
    const bool oneFamily = claim.carries == kCarriesIpv4 || claim.carries == kCarriesIpv6;
    const bool shape = claim.raw ? claim.localPort == 0 && oneFamily && !claim.tunnel &&
                                       (claim.carries == kCarriesIpv6 || allZero(std::span(claim.localAddress).subspan(4)))
                                 : keyedByPort(claim.protocol) && allZero(claim.localAddress);
    return shape && claim.carries != 0 && (claim.carries & ~(kCarriesIpv4 | kCarriesIpv6)) == 0 &&
           (flags & ~(kClaimUnreadable | kClaimTunnel | kClaimRaw)) == 0 && claim.unreadable == claim.label.empty() &&
           !(claim.tunnel && (claim.unreadable || claim.protocol != kProtocolUdp));
}

// A count, then that many items each `readOne` reads and checks; nothing is
// appended unless all of them are sound and nothing follows them.
template <typename Item, typename ReadOne>
bool decodeCounted(std::span<const std::uint8_t> body, std::size_t maxCount, std::vector<Item>& out, ReadOne readOne) {
    BodyReader reader(body);
    std::uint32_t count;
    if (!reader.u32(count) || count > maxCount) return false;
    const std::size_t first = out.size();
    for (std::uint32_t i = 0; i < count; ++i) {
        Item item;
        if (!readOne(reader, item)) {
            out.resize(first);
            return false;
        }
        out.push_back(std::move(item));
    }
    if (!reader.done()) {
        out.resize(first);
        return false;
    }
    return true;
}

}  // namespace

bool decodeOwnerClaims(std::span<const std::uint8_t> body, std::vector<OwnerClaim>& claims) {
    return decodeCounted(body, kMaxClaimsPerFrame, claims, [](BodyReader& reader, OwnerClaim& claim) {
        std::uint8_t protocol = 0, flags = 0;
        const bool ok = reader.i64(claim.sinceNs) && reader.u8(protocol) && reader.u16(claim.localPort) &&
                        reader.u8(claim.carries) && reader.u8(flags) &&
                        reader.bytes(claim.localAddress.data(), claim.localAddress.size()) &&
                        reader.text(claim.label, kMaxLabelBytes);
        claim.protocol = protocol;
        claim.unreadable = (flags & kClaimUnreadable) != 0;
        claim.tunnel = (flags & kClaimTunnel) != 0;
        claim.raw = (flags & kClaimRaw) != 0;
        return ok && claimIsSound(claim, flags);
    });
}

void encodeFlowClaims(std::vector<std::uint8_t>& out, std::span<const FlowClaim> claims) {
    const std::size_t count = std::min(claims.size(), kMaxClaimsPerFrame);
    BodyWriter body;
    body.u32(std::uint32_t(count));
    for (std::size_t i = 0; i < count; ++i) {
        const FlowClaim& claim = claims[i];
        body.i64(claim.sinceNs);
        body.u8(claim.protocol);
        body.u8(claim.family);
        body.u16(claim.localPort);
        body.u16(claim.remotePort);
        body.bytes(claim.remote.data(), claim.remote.size());
        body.text(claim.label, kMaxLabelBytes);
    }
    body.finish(out, Kind::FlowClaims);
}

bool decodeFlowClaims(std::span<const std::uint8_t> body, std::vector<FlowClaim>& claims) {
    return decodeCounted(body, kMaxClaimsPerFrame, claims, [](BodyReader& reader, FlowClaim& claim) {
        const bool ok = reader.i64(claim.sinceNs) && reader.u8(claim.protocol) && reader.u8(claim.family) &&
                        reader.u16(claim.localPort) && reader.u16(claim.remotePort) &&
                        reader.bytes(claim.remote.data(), claim.remote.size()) && reader.text(claim.label, kMaxLabelBytes);
        const bool knownProtocol =
            claim.protocol == kProtocolTcp || claim.protocol == kProtocolUdp || claim.protocol == kProtocolSctp;
        const bool address = claim.family == kFamilyIpv6 ||
                             (claim.family == kFamilyIpv4 && allZero(std::span(claim.remote).subspan(4)));
        return ok && !claim.label.empty() && knownProtocol && address;
    });
}

void encodePacketSends(std::vector<std::uint8_t>& out, const std::string& label, std::span<const PacketSend> sends) {
    const std::size_t count = std::min(sends.size(), kMaxPacketSendsPerFrame);
    BodyWriter body;
    body.reserve(2 + label.size() + 4 + count * kPacketSendSize);
    body.text(label, kMaxLabelBytes);
    body.u32(std::uint32_t(count));
    for (std::size_t i = 0; i < count; ++i) {
        body.i64(sends[i].timeNs);
        body.u32(sends[i].interfaceIndex);
        body.u32(sends[i].length);
    }
    body.finish(out, Kind::PacketSends);
}

bool decodePacketSends(std::span<const std::uint8_t> body, std::string& label, std::vector<PacketSend>& sends) {
    BodyReader reader(body);
    std::uint32_t count;
    if (!reader.text(label, kMaxLabelBytes) || label.empty() || !reader.u32(count) || count > kMaxPacketSendsPerFrame ||
        reader.left() != count * kPacketSendSize)
        return false;
    const std::size_t first = sends.size();
    for (std::uint32_t i = 0; i < count; ++i) {
        PacketSend send;
        reader.i64(send.timeNs);
        reader.u32(send.interfaceIndex);
        reader.u32(send.length);
        if (send.length == 0 || send.length > kMaxPacketSendLength) {
            sends.resize(first);
            return false;
        }
        sends.push_back(send);
    }
    return true;
}

void encodeClaimsComplete(std::vector<std::uint8_t>& out, std::int64_t upToNs) {
    BodyWriter body;
    body.i64(upToNs);
    body.finish(out, Kind::ClaimsComplete);
}

void encodeMessage(std::vector<std::uint8_t>& out, const Message& message) {
    BodyWriter body;
    body.u8(std::uint8_t(message.icon));
    body.text(message.caption, kMaxTextBytes);
    body.text(message.text, kMaxTextBytes);
    body.finish(out, Kind::Message);
}

void encodeCaptureState(std::vector<std::uint8_t>& out, const CaptureState& state) {
    BodyWriter body;
    body.u8(std::uint8_t(state.state));
    body.bytes(reinterpret_cast<const std::uint8_t*>(&state.ipv4Address), 4);
    body.text(state.interfaceName, kMaxLabelBytes);
    body.text(state.error, kMaxTextBytes);
    body.finish(out, Kind::CaptureState);
}

void encodeStatistics(std::vector<std::uint8_t>& out, const Statistics& statistics) {
    BodyWriter body;
    body.u64(statistics.packetsCaptured);
    body.u64(statistics.packetsDropped);
    body.u64(statistics.packetsCountedInKernel);
    body.u64(statistics.kernelTableFull);
    body.finish(out, Kind::Statistics);
}

void encodeAttribution(std::vector<std::uint8_t>& out, const Attribution& attribution) {
    BodyWriter body;
    body.u8(attributionByte(attribution.mode));
    body.text(attribution.detail, kMaxTextBytes);
    body.finish(out, Kind::Attribution);
}

ExecFailedFrame execFailedFrame(std::int32_t error) {
    ExecFailedFrame frame;
    writeHeader(frame.data(), Kind::ExecFailed, kExecFailedSize);
    const auto value = std::uint32_t(error);
    for (std::size_t i = 0; i < kExecFailedSize; ++i) frame[kHeaderSize + i] = std::uint8_t(value >> (8 * i));
    return frame;
}

void encodeExecFailed(std::vector<std::uint8_t>& out, std::int32_t error) {
    const ExecFailedFrame frame = execFailedFrame(error);
    out.insert(out.end(), frame.begin(), frame.end());
}

void encodeInterfaces(std::vector<std::uint8_t>& out, const CapturedInterfaces& interfaces) {
    const std::size_t count = std::min(interfaces.size(), kMaxInterfaces);
    BodyWriter body;
    body.u32(std::uint32_t(count));
    for (std::size_t i = 0; i < count; ++i) {
        const CapturedInterface& captured = interfaces[i];
        const std::size_t ipv4 = std::min(captured.ipv4.size(), kMaxLocalAddresses);
        const std::size_t ipv6 = std::min(captured.ipv6.size(), kMaxLocalAddresses);
        body.u32(captured.index);
        body.text(captured.name, kMaxInterfaceNameBytes);
        body.u16(std::uint16_t(ipv4));
        for (std::size_t a = 0; a < ipv4; ++a) body.bytes(reinterpret_cast<const std::uint8_t*>(&captured.ipv4[a]), 4);
        body.u16(std::uint16_t(ipv6));
        for (std::size_t a = 0; a < ipv6; ++a) body.bytes(captured.ipv6[a].data(), 16);
    }
    body.finish(out, Kind::Interfaces);
}

std::optional<std::int64_t> decodeClaimsComplete(std::span<const std::uint8_t> body) {
    BodyReader reader(body);
    std::int64_t upTo;
    if (!reader.i64(upTo) || !reader.done()) return std::nullopt;
    return upTo;
}

std::optional<Message> decodeMessage(std::span<const std::uint8_t> body) {
    BodyReader reader(body);
    Message message;
    std::uint8_t icon;
    if (!reader.u8(icon) || icon > std::uint8_t(MessageIcon::Exclamation) || !reader.text(message.caption, kMaxTextBytes) ||
        !reader.text(message.text, kMaxTextBytes) || !reader.done())
        return std::nullopt;
    message.icon = MessageIcon(icon);
    return message;
}

std::optional<CaptureState> decodeCaptureState(std::span<const std::uint8_t> body) {
    BodyReader reader(body);
    CaptureState state;
    std::uint8_t kind;
    if (!reader.u8(kind) || kind > std::uint8_t(CaptureStateKind::Failed) ||
        !reader.bytes(reinterpret_cast<std::uint8_t*>(&state.ipv4Address), 4) ||
        !reader.text(state.interfaceName, kMaxLabelBytes) || !reader.text(state.error, kMaxTextBytes) || !reader.done())
        return std::nullopt;
    state.state = CaptureStateKind(kind);
    return state;
}

std::optional<Statistics> decodeStatistics(std::span<const std::uint8_t> body) {
    BodyReader reader(body);
    Statistics statistics;
    if (!reader.u64(statistics.packetsCaptured) || !reader.u64(statistics.packetsDropped) ||
        !reader.u64(statistics.packetsCountedInKernel) || !reader.u64(statistics.kernelTableFull) || !reader.done() ||
        statistics.packetsCountedInKernel > statistics.packetsCaptured)
        return std::nullopt;
    return statistics;
}

std::optional<Attribution> decodeAttribution(std::span<const std::uint8_t> body) {
    BodyReader reader(body);
    Attribution attribution;
    std::uint8_t mode;
    if (!reader.u8(mode) || !attributionFromByte(mode, attribution.mode) ||
        !reader.text(attribution.detail, kMaxTextBytes) || !reader.done())
        return std::nullopt;
    return attribution;
}

std::optional<std::int32_t> decodeExecFailed(std::span<const std::uint8_t> body) {
    BodyReader reader(body);
    std::uint32_t error;
    if (!reader.u32(error) || !reader.done()) return std::nullopt;
    return std::int32_t(error);
}

bool decodeInterfaces(std::span<const std::uint8_t> body, CapturedInterfaces& interfaces) {
    BodyReader reader(body);
    std::uint32_t count;
    if (!reader.u32(count) || count > kMaxInterfaces) return false;
    interfaces.assign(count, {});
    for (CapturedInterface& captured : interfaces) {
        std::uint16_t ipv4;
        std::uint16_t ipv6;
        if (!reader.u32(captured.index) || !reader.text(captured.name, kMaxInterfaceNameBytes) ||
            !validInterfaceName(captured.name) || !reader.u16(ipv4) || ipv4 > kMaxLocalAddresses)
            return false;
        captured.ipv4.resize(ipv4);
        for (std::uint32_t& address : captured.ipv4)
            if (!reader.bytes(reinterpret_cast<std::uint8_t*>(&address), 4)) return false;
        if (!reader.u16(ipv6) || ipv6 > kMaxLocalAddresses) return false;
        captured.ipv6.resize(ipv6);
        for (Ipv6Address& address : captured.ipv6)
            if (!reader.bytes(address.data(), 16)) return false;
    }
    return reader.done();
}

}  // namespace sondrel::wire
