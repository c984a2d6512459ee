#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/file_descriptor.h"
#include "base/owner_claim.h"
#include "base/packet_record.h"
#include "wire/events.h"

namespace sondrel {

// What the helper says, one call per frame, on the connection's reader thread.
class HelperEvents {
public:
    virtual ~HelperEvents() = default;
    // The helper belongs to another version of the program: nothing more is read.
    virtual void otherVersion() = 0;
    // The helper could not be run (exec failed with `error`): nothing more comes.
    virtual void execFailed(int error) = 0;
    virtual void flows(std::span<const FlowDelta> flows) = 0;
    virtual void ownerClaims(std::span<const OwnerClaim> claims) = 0;
    virtual void flowClaims(std::span<const FlowClaim> /*claims*/) {}
    virtual void packetSends(const std::string& /*label*/, std::span<const PacketSend> /*sends*/) {}
    virtual void claimsComplete(std::int64_t upToNs) = 0;
    virtual void message(const wire::Message& message) = 0;
    virtual void captureLibraryMissing() = 0;
    virtual void captureState(const wire::CaptureState& state) = 0;
    virtual void statistics(const wire::Statistics& statistics) = 0;
    virtual void attribution(const wire::Attribution& attribution) = 0;
    virtual void interfaces(CapturedInterfaces interfaces) = 0;
};

// The window's end of the helper's event pipe: reads its frames, checks each
// one whole and hands what it says to `events`. Before the helper's Hello,
// only a failed exec may be reported.
class HelperConnection {
public:
    HelperConnection(FileDescriptor pipe, HelperEvents& events);

    // Reads until the pipe ends. False when the helper is not to be believed
    // any further: it broke the framing, sent what it must not, speaks
    // another version or could not be run.
    bool run();
    // The same for one chunk of the stream, as a read() of the pipe returned
    // it; false once nothing more is to be read.
    bool receive(std::span<const std::uint8_t> chunk);
    // The helper's Hello came, with this program's version.
    bool greeted() const { return m_greeted; }

private:
    bool handleFrame(const wire::Frame& frame);
    bool onHello(std::span<const std::uint8_t> body);
    bool onFlows(std::span<const std::uint8_t> body);
    bool onOwnerClaims(std::span<const std::uint8_t> body);
    bool onFlowClaims(std::span<const std::uint8_t> body);
    bool onPacketSends(std::span<const std::uint8_t> body);
    bool onClaimsComplete(std::span<const std::uint8_t> body);
    bool onMessage(std::span<const std::uint8_t> body);
    bool onCaptureLibraryMissing(std::span<const std::uint8_t> body);
    bool onCaptureState(std::span<const std::uint8_t> body);
    bool onStatistics(std::span<const std::uint8_t> body);
    bool onAttribution(std::span<const std::uint8_t> body);
    bool onExecFailed(std::span<const std::uint8_t> body);
    bool onInterfaces(std::span<const std::uint8_t> body);

    FileDescriptor m_pipe;
    HelperEvents& m_events;
    wire::FrameReader m_reader{wire::isEvent};
    std::vector<FlowDelta> m_flowDeltas;  // reused from frame to frame
    std::vector<OwnerClaim> m_claims;
    std::vector<FlowClaim> m_flows;
    std::vector<PacketSend> m_sends;
    std::string m_sendLabel;
    bool m_greeted = false;
};

}  // namespace sondrel
