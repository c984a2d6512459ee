#include "wire/hello.h"

#include "wire/body_codec.h"

namespace sondrel::wire {

void encodeHello(std::vector<std::uint8_t>& out, const Hello& hello) {
    BodyWriter body;
    body.u32(hello.magic);
    body.u16(hello.version);
    body.finish(out, Kind::Hello);
}

std::optional<Hello> decodeHello(std::span<const std::uint8_t> body) {
    BodyReader reader(body);
    Hello hello;
    if (!reader.u32(hello.magic) || !reader.u16(hello.version) || !reader.done()) return std::nullopt;
    return hello;
}

}  // namespace sondrel::wire
