#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sondrel::wire {

// The pipe between the window and the capture helper carries frames: one kind
// byte, the body's length as three bytes big-endian, then the body. A reader
// trusts nothing: an unknown kind or a body longer than its kind allows ends
// the conversation, and a frame cut short by the end of the stream is an
// error, not a frame.
enum class Kind : std::uint8_t {
    Hello = 1,  // both ways, first: magic and protocol version

    // window -> helper
    StartCapture = 16,
    StopCapture = 17,
    Shutdown = 18,

    // helper -> window
    Flows = 32,
    OwnerClaims = 33,
    ClaimsComplete = 34,
    Message = 35,
    CaptureLibraryMissing = 36,
    CaptureState = 37,
    Statistics = 38,
    Attribution = 39,
    ExecFailed = 40,
    Interfaces = 41,
    FlowClaims = 42,
    PacketSends = 43,
};

inline constexpr std::size_t kHeaderSize = 4;
inline constexpr std::size_t kMaxBodySize = (std::size_t(1) << 20) - 1;

// Largest body each kind may have; 0 for kinds this build does not know.
std::size_t maxBodySize(Kind kind);
bool isCommand(Kind kind);  // window -> helper
bool isEvent(Kind kind);    // helper -> window

struct Frame {
    Kind kind{};
    std::span<const std::uint8_t> body;  // valid until the reader is fed again
};

enum class ReadStatus { Frame, NeedMore, Invalid };

// Reassembles frames from the chunks a read() returns. After Invalid the
// reader stays invalid: nothing that follows a broken frame can be trusted.
class FrameReader {
public:
    // Accepts only the kinds `accept` says yes to (commands on the helper's
    // side, events on the window's).
    explicit FrameReader(bool (*accept)(Kind));

    void feed(std::span<const std::uint8_t> bytes);
    ReadStatus next(Frame& frame);
    // Bytes held that do not yet form a whole frame: at the end of the
    // stream, anything here is a frame cut short.
    std::size_t pending() const { return m_buffer.size() - m_start; }

private:
    bool (*m_accept)(Kind);
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_start = 0;
    bool m_invalid = false;
};

// Writes a frame's header into the kHeaderSize bytes at out.
void writeHeader(std::uint8_t* out, Kind kind, std::size_t bodySize);
// Appends one frame to out.
void appendFrame(std::vector<std::uint8_t>& out, Kind kind, std::span<const std::uint8_t> body);
// Appends a frame of a kind whose body is empty.
void encodeEmpty(std::vector<std::uint8_t>& out, Kind kind);

}  // namespace sondrel::wire
