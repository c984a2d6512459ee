// libFuzzer target for the frame decoder. The first input byte picks the link
// type; the rest is the captured frame, in a heap block of exactly its length.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "capture/decode_frame.h"

namespace {

constexpr sondrel::LinkType kLinkTypes[] = {sondrel::LinkType::Ethernet, sondrel::LinkType::Raw,
                                             sondrel::LinkType::LinuxCooked, sondrel::LinkType::Unsupported};

std::size_t linkHeader(sondrel::LinkType link) {
    switch (link) {
    case sondrel::LinkType::Ethernet:
        return 14;
    case sondrel::LinkType::LinuxCooked:
        return 16;
    case sondrel::LinkType::Raw:
    case sondrel::LinkType::Unsupported:
        break;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const sondrel::LinkType link = kLinkTypes[data[0] % std::size(kLinkTypes)];
    const std::uint8_t* frame = data + 1;
    const std::size_t length = size - 1;

    const auto record = sondrel::decodeFrame({frame, length}, link);

    sondrel::PacketQueue queue;
    sondrel::DecodeContext context{&queue, link};
    const pcap_pkthdr header{{}, static_cast<bpf_u_int32>(length), static_cast<bpf_u_int32>(length)};
    sondrel::DecodeFrame(reinterpret_cast<u_char*>(&context), &header, frame);

    // The handler queues exactly what the decoder returns, and a record only
    // ever comes from a frame holding the whole fixed IPv4 header.
    if (queue.records().size() != (record ? 1u : 0u)) {
        __builtin_trap();
    }
    if (record) {
        const std::size_t ip = linkHeader(link);
        if (length < ip + 20 || link == sondrel::LinkType::Unsupported) {
            __builtin_trap();
        }
        const std::uint32_t totalLength = static_cast<std::uint32_t>(frame[ip + 2] << 8 | frame[ip + 3]);
        std::uint32_t source;
        std::memcpy(&source, frame + ip + 12, sizeof source);
        if (record->length != totalLength || record->srcAddr != source || record->protocol != frame[ip + 9]) {
            __builtin_trap();
        }
    }
    return 0;
}
