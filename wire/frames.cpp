#include "wire/frames.h"

#include "wire/commands.h"
#include "wire/events.h"
#include "wire/hello.h"

namespace sondrel::wire {

std::size_t maxBodySize(Kind kind) {
    switch (kind) {
    case Kind::Hello: return kHelloSize;
    case Kind::StartCapture: return kMaxStartCaptureSize;
    case Kind::StopCapture:
    case Kind::Shutdown:
    case Kind::CaptureLibraryMissing: return 0;
    case Kind::Flows: return 4 + kMaxFlowsPerFrame * kFlowRecordSize;
    case Kind::OwnerClaims: return 4 + kMaxClaimsPerFrame * (kClaimFixedSize + kMaxLabelBytes);
    case Kind::ClaimsComplete: return 8;
    case Kind::Message: return 1 + 2 * (2 + kMaxTextBytes);
    case Kind::CaptureState: return 1 + 4 + 2 + kMaxLabelBytes + 2 + kMaxTextBytes;
    case Kind::Statistics: return 32;
    case Kind::Attribution: return 1 + 2 + kMaxTextBytes;
    case Kind::ExecFailed: return kExecFailedSize;
    case Kind::FlowClaims: return 4 + kMaxClaimsPerFrame * (kFlowClaimFixedSize + kMaxLabelBytes);
    case Kind::PacketSends: return 2 + kMaxLabelBytes + 4 + kMaxPacketSendsPerFrame * kPacketSendSize;
    case Kind::Interfaces: return 4 + kMaxInterfaces * (4 + 2 + kMaxInterfaceNameBytes + 2 + kMaxLocalAddresses * 4 + 2 + kMaxLocalAddresses * 16);
    }
    return 0;
}

bool isCommand(Kind kind) {
    switch (kind) {
    case Kind::Hello:
    case Kind::StartCapture:
    case Kind::StopCapture:
    case Kind::Shutdown: return true;
    default: return false;
    }
}

bool isEvent(Kind kind) {
    switch (kind) {
    case Kind::Hello:
    case Kind::Flows:
    case Kind::OwnerClaims:
    case Kind::ClaimsComplete:
    case Kind::Message:
    case Kind::CaptureLibraryMissing:
    case Kind::CaptureState:
    case Kind::Statistics:
    case Kind::Attribution:
    case Kind::ExecFailed:
    case Kind::Interfaces:
    case Kind::FlowClaims:
    case Kind::PacketSends: return true;
    default: return false;
    }
}

FrameReader::FrameReader(bool (*accept)(Kind)) : m_accept(accept) {}

void FrameReader::feed(std::span<const std::uint8_t> bytes) {
    if (m_invalid) return;
    // Consumed frames are dropped before new bytes come in, so the body spans
    // handed out earlier stay valid exactly until this call.
    if (m_start > 0) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + std::ptrdiff_t(m_start));
        m_start = 0;
    }
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
}

ReadStatus FrameReader::next(Frame& frame) {
    if (m_invalid) return ReadStatus::Invalid;
    if (pending() < kHeaderSize) return ReadStatus::NeedMore;
    const std::uint8_t* header = m_buffer.data() + m_start;
    const auto kind = Kind(header[0]);
    const std::size_t length = std::size_t(header[1]) << 16 | std::size_t(header[2]) << 8 | header[3];
    if (!m_accept(kind) || length > maxBodySize(kind)) {
        m_invalid = true;
        return ReadStatus::Invalid;
    }
    if (pending() - kHeaderSize < length) return ReadStatus::NeedMore;
    frame.kind = kind;
    frame.body = std::span<const std::uint8_t>(header + kHeaderSize, length);
    m_start += kHeaderSize + length;
    return ReadStatus::Frame;
}

void writeHeader(std::uint8_t* out, Kind kind, std::size_t bodySize) {
    out[0] = std::uint8_t(kind);
    out[1] = std::uint8_t(bodySize >> 16);
    out[2] = std::uint8_t(bodySize >> 8);
    out[3] = std::uint8_t(bodySize);
}

void appendFrame(std::vector<std::uint8_t>& out, Kind kind, std::span<const std::uint8_t> body) {
    const std::size_t at = out.size();
    out.resize(at + kHeaderSize);
    writeHeader(out.data() + at, kind, body.size());
    out.insert(out.end(), body.begin(), body.end());
}

void encodeEmpty(std::vector<std::uint8_t>& out, Kind kind) { appendFrame(out, kind, {}); }

}  // namespace sondrel::wire
