// libFuzzer target for the frame decoder and the fragment table.
//
// The first input byte: bits 0-1 pick the link type; bit 2 clear: the rest is
// one captured frame; bit 2 set: the rest is a sequence of frames, each as a
// 2-byte big-endian length, one byte of capture-time step in tenths of a second
// and that many frame bytes (the last one takes what is left); bit 3: the
// handle stamps nanoseconds; bit 4: the link is the "any" device's cooked v2,
// and the frames also go through a second context with the interface filter
// and the duplicate check, which may only ever leave frames out. Every frame lives in a heap block of exactly its
// length. The fragment table is small here so that eviction is reached, and it
// is checked against a plain list kept beside it.
//
// As root, frames of Ethernet and Raw inputs also go through the in-kernel
// flow counter's socket filters (BPF_PROG_TEST_RUN), which must count exactly
// what decodeHeaders reads: the same bytes, family, addresses and, but for a
// later fragment (whose ports come from a table the two do not share), the
// same ports and protocol.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "probe/bpf/flow_counter.h"
#include "probe/capture/decode_frame.h"
#include "tests/support/decode_frame_bytes.h"
#include "tests/support/socket_filter_run.h"

namespace {

constexpr sondrel::LinkType kLinkTypes[] = {sondrel::LinkType::Ethernet, sondrel::LinkType::Raw,
                                             sondrel::LinkType::LinuxCooked, sondrel::LinkType::Unsupported};
constexpr std::size_t kTableSize = 4;

std::size_t linkHeader(sondrel::LinkType link) {
    switch (link) {
    case sondrel::LinkType::Ethernet:
        return 14;
    case sondrel::LinkType::LinuxCooked:
        return 16;
    case sondrel::LinkType::LinuxCooked2:
        return 20;
    case sondrel::LinkType::Raw:
    case sondrel::LinkType::Unsupported:
        break;
    }
    return 0;
}

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// What a first fragment leaves for its later ones, as a plain list in order of
// first sight.
struct Remembered {
    std::uint8_t family;
    sondrel::Ipv6Address source;
    sondrel::Ipv6Address destination;
    std::uint32_t identification;
    std::uint8_t keyProtocol;
    std::int64_t timeNs;
    std::uint16_t srcPort;
    std::uint16_t dstPort;
    std::uint16_t protocol;
};

Remembered remembered(const sondrel::PacketRecord& record, const sondrel::FragmentFields& fragment) {
    Remembered entry{record.family, {}, {}, fragment.identification, fragment.keyProtocol, record.timeNs,
                     record.srcPort, record.dstPort, record.protocol};
    if (record.family == sondrel::kFamilyIpv6) {
        entry.source = record.src6;
        entry.destination = record.dst6;
    } else {
        std::memcpy(entry.source.data(), &record.srcAddr, 4);
        std::memcpy(entry.destination.data(), &record.dstAddr, 4);
    }
    return entry;
}

Remembered* findSame(std::deque<Remembered>& list, const Remembered& key) {
    for (Remembered& entry : list) {
        if (entry.family == key.family && entry.source == key.source && entry.destination == key.destination &&
            entry.identification == key.identification && entry.keyProtocol == key.keyProtocol) {
            return &entry;
        }
    }
    return nullptr;
}

void checkStatelessRecord(const std::uint8_t* frame, std::size_t length, sondrel::LinkType link,
                          const sondrel::PacketRecord& record) {
    const std::size_t ip = linkHeader(link);
    check(link != sondrel::LinkType::Unsupported);
    if (record.family == sondrel::kFamilyIpv4) {
        check(length >= ip + 20);
        const std::uint32_t totalLength = static_cast<std::uint32_t>(frame[ip + 2] << 8 | frame[ip + 3]);
        std::uint32_t source;
        std::memcpy(&source, frame + ip + 12, sizeof source);
        check(record.length == totalLength && record.srcAddr == source && record.protocol == frame[ip + 9]);
    } else {
        check(record.family == sondrel::kFamilyIpv6 && length >= ip + 40);
        check(std::memcmp(record.src6.data(), frame + ip + 8, 16) == 0);
        const std::uint32_t payloadLength = static_cast<std::uint32_t>(frame[ip + 4] << 8 | frame[ip + 5]);
        const bool jumbo = payloadLength == 0 && length > ip + 40 + 65535;  // the wire length is the captured one
        check(record.length == (jumbo ? length - ip : 40 + payloadLength));
        check(record.srcAddr == 0 && record.dstAddr == 0);
    }
    // Ports for TCP, UDP and SCTP; an echo's identifier on one end only; none for the rest.
    const bool echo = record.protocol == (record.family == sondrel::kFamilyIpv4 ? 1 : 58);
    check(record.protocol == 6 || record.protocol == 17 || record.protocol == 132 ||
          (echo ? record.srcPort == 0 || record.dstPort == 0 : record.srcPort == 0 && record.dstPort == 0));
}

// Loaded on first use; nullptr when not root or the kernel refuses it.
sondrel::BpfFlowCounter* flowCounter() {
    static const std::unique_ptr<sondrel::BpfFlowCounter> counter = [] {
        std::string whyNot;
        // Every drain walks all the table's buckets: a small table keeps runs fast.
        auto opened = sondrel::BpfFlowCounter::open(whyNot, {.maxFlows = 4096});
        if (!opened) std::fprintf(stderr, "decode_frame_fuzz: the flow counter is not compared: %s\n", whyNot.c_str());
        return opened;
    }();
    return counter.get();
}

// The test run strips a first 14 bytes as an Ethernet header, so the
// Ethernet and Raw programs get the frame behind this one.
constexpr std::uint8_t kStandInHeader[14] = {0x02, 0, 0, 0, 0, 0x01, 0x02, 0, 0, 0, 0, 0x02, 0x08, 0x00};

// The frame through count_cooked (as is) and count_ethernet on an Ethernet
// link, through count_raw on a Raw one; every run that the kernel does not
// refuse counts the frame, and one drain gives its flow. A frame passed to
// user space is one the full table had no room for.
void checkFlowCounter(sondrel::BpfFlowCounter& counter, const std::uint8_t* frame, std::size_t length,
                      sondrel::LinkType link, bool decoded, const sondrel::PacketRecord& record,
                      const sondrel::FragmentFields& fragment) {
    std::vector<std::uint8_t> behind(kStandInHeader, kStandInHeader + sizeof kStandInHeader);
    behind.insert(behind.end(), frame, frame + length);
    std::vector<sondrel::FlowDelta> deltas;
    counter.drain(deltas);
    deltas.clear();
    const std::uint64_t overflowBefore = counter.overflowFrames();
    std::uint64_t runs = 0;
    std::uint64_t passed = 0;
    const auto run = [&](int program, std::span<const std::uint8_t> data) {
        if (data.size() < 14) return;
        const auto verdict = sondrel::test::runSocketFilter(program, data);
        // Refused: an IP EtherType without a whole IP header, which never decodes.
        if (!verdict) {
            check(!decoded);
            return;
        }
        check(*verdict == 0 || (decoded && *verdict == data.size() - 14));
        (*verdict == 0 ? runs : passed) += 1;
    };
    if (link == sondrel::LinkType::Ethernet) {
        run(counter.programFd(sondrel::LinkType::LinuxCooked2, false), {frame, length});
        run(counter.programFd(sondrel::LinkType::Ethernet, false), behind);
    } else {
        run(counter.programFd(sondrel::LinkType::Raw, false), behind);
    }
    check(counter.overflowFrames() - overflowBefore == passed);
    counter.drain(deltas);
    if (!decoded || runs == 0) {
        check(deltas.empty());
        return;
    }
    check(deltas.size() == 1);
    const sondrel::FlowDelta& delta = deltas[0];
    check(delta.packets == runs && delta.bytes == runs * record.length);
    check(delta.record.family == record.family && delta.record.srcAddr == record.srcAddr &&
          delta.record.dstAddr == record.dstAddr && delta.record.src6 == record.src6 &&
          delta.record.dst6 == record.dst6);
    if (fragment.role != sondrel::FragmentRole::Later) {
        check(delta.record.srcPort == record.srcPort && delta.record.dstPort == record.dstPort &&
              delta.record.protocol == record.protocol);
    }
}

struct FrameSpan {
    std::size_t offset;
    std::size_t length;
    std::int64_t stepNs;
};

std::vector<FrameSpan> framesOf(const std::uint8_t* data, std::size_t size, bool sequence) {
    if (!sequence) {
        return {{1, size - 1, 0}};
    }
    std::vector<FrameSpan> frames;
    for (std::size_t at = 1; size - at >= 3;) {
        const std::size_t length = std::min<std::size_t>(std::size_t{data[at]} << 8 | data[at + 1], size - at - 3);
        frames.push_back({at + 3, length, std::int64_t{data[at + 2]} * 100'000'000});
        at += 3 + length;
    }
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const sondrel::LinkType link = (data[0] & 16) != 0 ? sondrel::LinkType::LinuxCooked2 : kLinkTypes[data[0] & 3];
    const bool nanoseconds = (data[0] & 8) != 0;

    sondrel::PacketQueue queue;
    sondrel::DecodeContext context{&queue, link, nanoseconds, sondrel::FragmentPorts(kTableSize)};
    std::deque<Remembered> model;
    // Odd interface indexes are named "a", even ones have no name.
    sondrel::InterfaceFilter filter({"a"}, [](std::uint32_t index) -> std::optional<std::string> {
        if (index % 2 == 0) return std::nullopt;
        return std::string("a");
    });
    sondrel::DuplicateFrames duplicates;
    sondrel::PacketQueue narrowed;
    sondrel::DecodeContext narrowing{&narrowed, link, nanoseconds, sondrel::FragmentPorts(kTableSize)};
    narrowing.interfaces = &filter;
    narrowing.duplicates = &duplicates;
    std::int64_t timeNs = 1'700'000'000'000'000'000;

    for (const FrameSpan& span : framesOf(data, size, (data[0] & 4) != 0)) {
        const std::size_t length = span.length;
        auto frame = std::make_unique<std::uint8_t[]>(length);
        std::memcpy(frame.get(), data + span.offset, length);
        timeNs += span.stepNs;

        sondrel::PacketRecord alone;
        sondrel::FragmentFields fragment;
        const bool decoded = sondrel::decodeHeaders({frame.get(), length}, link, length, alone, fragment);
        check(decoded == sondrel::decodeFrameBytes({frame.get(), length}, link).has_value());
        if (link == sondrel::LinkType::Ethernet || link == sondrel::LinkType::Raw) {
            if (sondrel::BpfFlowCounter* counter = flowCounter()) {
                checkFlowCounter(*counter, frame.get(), length, link, decoded, alone, fragment);
            }
        }

        const std::size_t queuedBefore = queue.records().size();
        const std::int64_t second = timeNs / 1'000'000'000;
        const std::int64_t fraction = timeNs % 1'000'000'000;
        const pcap_pkthdr header{{second, nanoseconds ? fraction : fraction / 1000},
                                 static_cast<bpf_u_int32>(length),
                                 static_cast<bpf_u_int32>(length)};
        sondrel::DecodeFrame(reinterpret_cast<u_char*>(&context), &header, frame.get());
        if (link == sondrel::LinkType::LinuxCooked2) {
            sondrel::DecodeFrame(reinterpret_cast<u_char*>(&narrowing), &header, frame.get());
            check(narrowed.records().size() <= queue.records().size());
        }
        // The handler queues exactly what the decoder returns.
        check(queue.records().size() == queuedBefore + (decoded ? 1u : 0u));
        if (!decoded) {
            continue;
        }
        checkStatelessRecord(frame.get(), length, link, alone);
        const std::int64_t stamped = nanoseconds ? timeNs : timeNs / 1000 * 1000;
        const sondrel::PacketRecord& queued = queue.records().back();
        check(queued.timeNs == stamped && queued.length == alone.length && queued.family == alone.family);
        alone.timeNs = stamped;

        const Remembered key = remembered(alone, fragment);
        std::uint16_t srcPort = alone.srcPort;
        std::uint16_t dstPort = alone.dstPort;
        std::uint16_t protocol = alone.protocol;
        if (fragment.role == sondrel::FragmentRole::First) {
            if (Remembered* same = findSame(model, key)) {
                *same = key;
            } else {
                if (model.size() == kTableSize) {
                    model.pop_front();
                }
                model.push_back(key);
            }
        } else if (fragment.role == sondrel::FragmentRole::Later) {
            check(alone.srcPort == 0 && alone.dstPort == 0);
            const Remembered* first = findSame(model, key);
            if (first != nullptr && stamped - first->timeNs <= sondrel::FragmentPorts::kWindowNs) {
                srcPort = first->srcPort;
                dstPort = first->dstPort;
                protocol = first->protocol;
            }
        }
        check(queued.srcPort == srcPort && queued.dstPort == dstPort && queued.protocol == protocol);
    }
    return 0;
}
