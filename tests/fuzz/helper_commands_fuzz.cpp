// libFuzzer target for what the capture helper reads from its window: any
// bytes at all, since the user who runs the window controls it.
#include "wire/commands.h"
#include "tests/fuzz/helper_pipe_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sondrel;
    fuzz::readFrames(data, size, wire::isCommand, [](const wire::Frame& frame) {
        switch (frame.kind) {
        case wire::Kind::Hello: (void)wire::decodeHello(frame.body); break;
        case wire::Kind::StartCapture: (void)wire::decodeStartCapture(frame.body); break;
        default: break;
        }
    });
    return 0;
}
