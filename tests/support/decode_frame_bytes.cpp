#include "tests/support/decode_frame_bytes.h"

namespace sondrel {

std::optional<PacketRecord> decodeFrameBytes(std::span<const std::uint8_t> frame, LinkType linkType) {
    std::optional<PacketRecord> record(std::in_place);
    FragmentFields fragment;
    if (!decodeHeaders(frame, linkType, frame.size(), *record, fragment)) {
        record.reset();
    }
    return record;
}

}  // namespace sondrel
