// libFuzzer target for what the capture helper reads from its window: any
// bytes at all, since the user who runs the window controls it. They go
// through the helper's stream reader, in chunks as a pipe gives them.
#include "tests/fuzz/helper_pipe_fuzz.h"
#include "wire/commands.h"
#include "wire/descriptor_io.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sondrel;
    wire::FrameReader reader(wire::isCommand);
    const wire::FrameHandler onFrame = [](const wire::Frame& frame) {
        switch (frame.kind) {
        case wire::Kind::Hello: return wire::decodeHello(frame.body).has_value();
        case wire::Kind::StartCapture: return wire::decodeStartCapture(frame.body).has_value();
        default: return true;
        }
    };
    fuzz::forEachChunk(data, size, [&](std::span<const std::uint8_t> chunk) {
        return !wire::feedFrames(reader, chunk, onFrame);
    });
    return 0;
}
