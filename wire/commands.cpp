#include "wire/commands.h"

#include <algorithm>

#include "wire/body_codec.h"

namespace sondrel::wire {

void encodeStartCapture(std::vector<std::uint8_t>& out, const CaptureSet& set) {
    BodyWriter body;
    body.u8(std::uint8_t(set.kind));
    const std::uint32_t address = set.kind == CaptureSet::Kind::Address ? set.address : 0;
    body.bytes(reinterpret_cast<const std::uint8_t*>(&address), 4);
    const std::size_t count = set.kind == CaptureSet::Kind::Names ? std::min(set.names.size(), kMaxNamedInterfaces) : 0;
    body.u8(std::uint8_t(count));
    for (std::size_t i = 0; i < count; ++i) body.text(set.names[i], kMaxInterfaceNameBytes);
    body.finish(out, Kind::StartCapture);
}

std::optional<CaptureSet> decodeStartCapture(std::span<const std::uint8_t> body) {
    BodyReader reader(body);
    std::uint8_t kind;
    CaptureSet set;
    std::uint8_t count;
    if (!reader.u8(kind) || kind > std::uint8_t(CaptureSet::Kind::All) ||
        !reader.bytes(reinterpret_cast<std::uint8_t*>(&set.address), 4) || !reader.u8(count))
        return std::nullopt;
    set.kind = CaptureSet::Kind(kind);
    const bool names = set.kind == CaptureSet::Kind::Names;
    if ((set.kind != CaptureSet::Kind::Address && set.address != 0) || (names != (count != 0)) ||
        count > kMaxNamedInterfaces)
        return std::nullopt;
    for (std::uint8_t i = 0; i < count; ++i) {
        std::string name;
        if (!reader.text(name, kMaxInterfaceNameBytes) || !validInterfaceName(name) ||
            std::find(set.names.begin(), set.names.end(), name) != set.names.end())
            return std::nullopt;
        set.names.push_back(std::move(name));
    }
    if (!reader.done()) return std::nullopt;
    return set;
}

}  // namespace sondrel::wire
