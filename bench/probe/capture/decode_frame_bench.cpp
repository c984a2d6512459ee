#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "probe/capture/decode_frame.h"
#include "tests/support/decode_frame_bytes.h"
#include "tests/support/test_frames.h"

namespace {

using Frame = std::vector<std::uint8_t>;

// A TCP segment on Ethernet with the given IHL, padded to a 64-byte wire frame at least.
Frame ethernetFrame(std::uint8_t ihl, std::uint8_t protocol, std::uint16_t etherType = 0x0800) {
    Frame frame(14 + 4u * ihl + 20, 0);
    frame[12] = static_cast<std::uint8_t>(etherType >> 8);
    frame[13] = static_cast<std::uint8_t>(etherType);
    frame[14] = static_cast<std::uint8_t>(0x40 | ihl);
    frame[16] = 0x05;
    frame[17] = 0xDC;
    frame[23] = protocol;
    const std::array<std::uint8_t, 8> addresses{10, 200, 0, 1, 10, 200, 0, 2};
    std::memcpy(&frame[26], addresses.data(), addresses.size());
    frame[14 + 4u * ihl] = 0x9C;
    frame[14 + 4u * ihl + 3] = 0x50;
    return frame;
}

// The mix an IPv4-only interface sees: mostly TCP and UDP, some ICMP, some
// frames that are not IP at all.
std::vector<Frame> trafficMix() {
    return {ethernetFrame(5, 6),  ethernetFrame(5, 17), ethernetFrame(5, 6), ethernetFrame(8, 6),
            ethernetFrame(5, 1),  ethernetFrame(5, 6),  ethernetFrame(5, 17), ethernetFrame(5, 6, 0x0806)};
}

using sondrel::test::Extension;
using sondrel::test::Ipv6Packet;

Frame ethernet6(const Ipv6Packet& packet) {
    return sondrel::test::onLink(sondrel::LinkType::Ethernet, sondrel::test::ipv6(packet), 0x86DD);
}

// Hop-by-hop, destination options, routing and AH before TCP: more than any
// ordinary packet carries.
const std::vector<Extension> kFourHeaders{{.type = sondrel::test::kHopByHop},
                                          {.type = sondrel::test::kDestinationOptions, .lengthField = 1},
                                          {.type = sondrel::test::kRouting, .lengthField = 2},
                                          {.type = sondrel::test::kAuthentication, .lengthField = 4}};

Frame ipv6Fragment(std::uint32_t id, std::uint16_t offset, bool more) {
    return ethernet6({.payloadLength = 1240,
                      .extensions = {{.type = sondrel::test::kFragmentHeader, .fragmentOffset = offset,
                                      .moreFragments = more, .identification = id}},
                      .upper = 17});
}

Frame ipv4Fragment(std::uint16_t id, std::uint16_t offset, bool more) {
    return sondrel::test::onLink(
        sondrel::LinkType::Ethernet,
        sondrel::test::ipv4({.protocol = 17, .totalLength = 1500, .identification = id,
                             .flagsAndOffset = static_cast<std::uint16_t>((more ? 0x2000 : 0) | offset)}));
}

// A dual-stack desktop: about half the frames IPv6, a few with a hop-by-hop header.
std::vector<Frame> dualStackMix() {
    return {ethernetFrame(5, 6),
            ethernet6({}),
            ethernetFrame(5, 17),
            ethernet6({.upper = 17}),
            ethernet6({.upper = 58}),
            ethernetFrame(5, 6),
            ethernet6({.extensions = {{.type = sondrel::test::kHopByHop}}, .upper = 58}),
            ethernetFrame(5, 6, 0x0806)};
}

void decodeOne(benchmark::State& state, const Frame& frame, sondrel::LinkType link) {
    for (auto _ : state) {
        auto record = sondrel::decodeFrameBytes(frame, link);
        benchmark::DoNotOptimize(record);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_DecodeFrameTcp(benchmark::State& state) {
    decodeOne(state, ethernetFrame(5, 6), sondrel::LinkType::Ethernet);
}
BENCHMARK(BM_DecodeFrameTcp);

void BM_DecodeFrameNotIp(benchmark::State& state) {
    decodeOne(state, ethernetFrame(5, 6, 0x0806), sondrel::LinkType::Ethernet);
}
BENCHMARK(BM_DecodeFrameNotIp);

void decodeMix(benchmark::State& state, const std::vector<Frame>& frames) {
    std::size_t next = 0;
    for (auto _ : state) {
        auto record = sondrel::decodeFrameBytes(frames[next], sondrel::LinkType::Ethernet);
        benchmark::DoNotOptimize(record);
        // A division here would cost more than the decoding.
        next = next + 1 == frames.size() ? 0 : next + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_DecodeFrameMix(benchmark::State& state) {
    decodeMix(state, trafficMix());
}
BENCHMARK(BM_DecodeFrameMix);

void BM_DecodeFrameDualStackMix(benchmark::State& state) {
    decodeMix(state, dualStackMix());
}
BENCHMARK(BM_DecodeFrameDualStackMix);

void BM_DecodeFrameIpv6Tcp(benchmark::State& state) {
    decodeOne(state, ethernet6({}), sondrel::LinkType::Ethernet);
}
BENCHMARK(BM_DecodeFrameIpv6Tcp);

void BM_DecodeFrameIpv6FourExtensionHeaders(benchmark::State& state) {
    decodeOne(state, ethernet6({.extensions = kFourHeaders}), sondrel::LinkType::Ethernet);
}
BENCHMARK(BM_DecodeFrameIpv6FourExtensionHeaders);

void BM_DecodeFrameIpv6FirstFragment(benchmark::State& state) {
    decodeOne(state, ipv6Fragment(1, 0, true), sondrel::LinkType::Ethernet);
}
BENCHMARK(BM_DecodeFrameIpv6FirstFragment);

void BM_DecodeFrameIpv6LaterFragment(benchmark::State& state) {
    decodeOne(state, ipv6Fragment(1, 154, false), sondrel::LinkType::Ethernet);
}
BENCHMARK(BM_DecodeFrameIpv6LaterFragment);

void BM_DecodeFrameIpv4LaterFragment(benchmark::State& state) {
    decodeOne(state, ipv4Fragment(1, 185, false), sondrel::LinkType::Ethernet);
}
BENCHMARK(BM_DecodeFrameIpv4LaterFragment);

void BM_DecodeFrameRawIp(benchmark::State& state) {
    const Frame frame = ethernetFrame(5, 17);
    decodeOne(state, Frame(frame.begin() + 14, frame.end()), sondrel::LinkType::Raw);
}
BENCHMARK(BM_DecodeFrameRawIp);

// The handler as the capture thread calls it, push included, for comparison.
// Frames follow each other 10 microseconds apart in capture time.
void dispatchFrames(benchmark::State& state, const std::vector<Frame>& frames) {
    sondrel::PacketQueue queue;
    sondrel::DecodeContext context{&queue, sondrel::LinkType::Ethernet};
    std::vector<pcap_pkthdr> headers;
    for (const Frame& frame : frames) {
        headers.push_back({{}, static_cast<bpf_u_int32>(frame.size()), static_cast<bpf_u_int32>(frame.size())});
    }
    timeval now{1'700'000'000, 0};
    std::size_t next = 0;
    std::size_t pushed = 0;
    for (auto _ : state) {
        headers[next].ts = now;
        sondrel::DecodeFrame(reinterpret_cast<u_char*>(&context), &headers[next], frames[next].data());
        next = next + 1 == frames.size() ? 0 : next + 1;
        now.tv_usec += 10;
        if (++pushed == 4096) {
            state.PauseTiming();
            queue.clear();
            pushed = 0;
            now.tv_sec += 1;
            now.tv_usec = 0;
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_DecodeFrameHandlerWithPush(benchmark::State& state) {
    dispatchFrames(state, {ethernetFrame(5, 6)});
}
BENCHMARK(BM_DecodeFrameHandlerWithPush);

void BM_DecodeFrameHandlerIpv6WithPush(benchmark::State& state) {
    dispatchFrames(state, {ethernet6({})});
}
BENCHMARK(BM_DecodeFrameHandlerIpv6WithPush);

// Datagrams of three fragments each, IPv4 and IPv6 in turn, with identifications
// cycling over 3000 values: every first fragment is remembered (evicting the
// oldest once the table is full) and every later one is looked up.
void BM_DecodeFrameHandlerFragmentsWithPush(benchmark::State& state) {
    std::vector<Frame> frames;
    for (std::uint16_t id = 0; id < 3000; ++id) {
        if (id % 2 == 0) {
            frames.push_back(ipv4Fragment(id, 0, true));
            frames.push_back(ipv4Fragment(id, 185, true));
            frames.push_back(ipv4Fragment(id, 370, false));
        } else {
            frames.push_back(ipv6Fragment(id, 0, true));
            frames.push_back(ipv6Fragment(id, 154, true));
            frames.push_back(ipv6Fragment(id, 308, false));
        }
    }
    dispatchFrames(state, frames);
}
BENCHMARK(BM_DecodeFrameHandlerFragmentsWithPush);

}  // namespace
BENCHMARK_MAIN();

namespace {

// The whole handler as the capture thread runs it, queue included: one
// interface's Ethernet frames against the "any" device's cooked frames with
// the duplicate check (and, with a list, the interface filter).
void runHandler(benchmark::State& state, sondrel::LinkType link, bool named) {
    std::vector<Frame> frames;
    for (std::uint16_t port = 0; port < 64; ++port)
        frames.push_back(sondrel::test::onLink(link, sondrel::test::ipv4({.protocol = 6, .totalLength = 1500, .srcPort = port,
                                                                           .identification = port})));
    sondrel::PacketQueue queue;
    sondrel::InterfaceFilter filter({"a"}, [](std::uint32_t) -> std::optional<std::string> { return "a"; });
    sondrel::DuplicateFrames duplicates;
    sondrel::DecodeContext context{&queue, link};
    if (link == sondrel::LinkType::LinuxCooked2) {
        context.duplicates = &duplicates;
        if (named) context.interfaces = &filter;
    }
    std::size_t next = 0;
    std::int64_t time = 0;
    for (auto _ : state) {
        const Frame& frame = frames[next++ % frames.size()];
        pcap_pkthdr header{{}, static_cast<bpf_u_int32>(frame.size()), static_cast<bpf_u_int32>(frame.size())};
        header.ts.tv_usec = (time += 3) % 1'000'000;
        sondrel::DecodeFrame(reinterpret_cast<u_char*>(&context), &header, frame.data());
        if (queue.records().size() >= 4096) queue.records().clear();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_HandlerOneInterface(benchmark::State& state) { runHandler(state, sondrel::LinkType::Ethernet, false); }
BENCHMARK(BM_HandlerOneInterface);
void BM_HandlerAllInterfaces(benchmark::State& state) { runHandler(state, sondrel::LinkType::LinuxCooked2, false); }
BENCHMARK(BM_HandlerAllInterfaces);
void BM_HandlerNamedInterfaces(benchmark::State& state) { runHandler(state, sondrel::LinkType::LinuxCooked2, true); }
BENCHMARK(BM_HandlerNamedInterfaces);

}  // namespace
