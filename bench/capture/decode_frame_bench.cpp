#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "capture/decode_frame.h"

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

// The mix a desktop interface sees: mostly TCP and UDP, some ICMP, some frames
// that are not IPv4 at all.
std::vector<Frame> trafficMix() {
    return {ethernetFrame(5, 6),  ethernetFrame(5, 17), ethernetFrame(5, 6), ethernetFrame(8, 6),
            ethernetFrame(5, 1),  ethernetFrame(5, 6),  ethernetFrame(5, 17), ethernetFrame(5, 6, 0x86DD)};
}

void decodeOne(benchmark::State& state, const Frame& frame, sondrel::LinkType link) {
    for (auto _ : state) {
        auto record = sondrel::decodeFrame(frame, link);
        benchmark::DoNotOptimize(record);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_DecodeFrameTcp(benchmark::State& state) {
    decodeOne(state, ethernetFrame(5, 6), sondrel::LinkType::Ethernet);
}
BENCHMARK(BM_DecodeFrameTcp);

void BM_DecodeFrameNotIpv4(benchmark::State& state) {
    decodeOne(state, ethernetFrame(5, 6, 0x86DD), sondrel::LinkType::Ethernet);
}
BENCHMARK(BM_DecodeFrameNotIpv4);

void BM_DecodeFrameMix(benchmark::State& state) {
    const std::vector<Frame> frames = trafficMix();
    std::size_t next = 0;
    for (auto _ : state) {
        auto record = sondrel::decodeFrame(frames[next], sondrel::LinkType::Ethernet);
        benchmark::DoNotOptimize(record);
        next = (next + 1) % frames.size();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeFrameMix);

void BM_DecodeFrameRawIp(benchmark::State& state) {
    const Frame frame = ethernetFrame(5, 17);
    decodeOne(state, Frame(frame.begin() + 14, frame.end()), sondrel::LinkType::Raw);
}
BENCHMARK(BM_DecodeFrameRawIp);

// The handler as the capture thread calls it, push included, for comparison.
void BM_DecodeFrameHandlerWithPush(benchmark::State& state) {
    const Frame frame = ethernetFrame(5, 6);
    sondrel::PacketQueue queue;
    sondrel::DecodeContext context{&queue, sondrel::LinkType::Ethernet};
    const pcap_pkthdr header{{}, static_cast<bpf_u_int32>(frame.size()), static_cast<bpf_u_int32>(frame.size())};
    std::size_t pushed = 0;
    for (auto _ : state) {
        sondrel::DecodeFrame(reinterpret_cast<u_char*>(&context), &header, frame.data());
        if (++pushed == 4096) {
            state.PauseTiming();
            queue.clear();
            pushed = 0;
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeFrameHandlerWithPush);

}  // namespace
BENCHMARK_MAIN();
