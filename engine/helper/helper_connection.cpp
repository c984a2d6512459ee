#include "engine/helper/helper_connection.h"

#include "wire/descriptor_io.h"

namespace sondrel {

namespace {

constexpr std::size_t kReadSize = 256 * 1024;

}  // namespace

HelperConnection::HelperConnection(FileDescriptor pipe, HelperEvents& events)
    : m_pipe(std::move(pipe)), m_events(events) {}

bool HelperConnection::run() {
    return wire::readFrames(m_pipe.get(), m_reader, kReadSize,
                            [this](const wire::Frame& frame) { return handleFrame(frame); }) == wire::StreamEnd::Closed;
}

bool HelperConnection::receive(std::span<const std::uint8_t> chunk) {
    return !wire::feedFrames(m_reader, chunk, [this](const wire::Frame& frame) { return handleFrame(frame); });
}

bool HelperConnection::handleFrame(const wire::Frame& frame) {
    if (!m_greeted && frame.kind != wire::Kind::Hello && frame.kind != wire::Kind::ExecFailed) return false;
    switch (frame.kind) {
    case wire::Kind::Hello: return onHello(frame.body);
    case wire::Kind::Flows: return onFlows(frame.body);
    case wire::Kind::OwnerClaims: return onOwnerClaims(frame.body);
    case wire::Kind::ClaimsComplete: return onClaimsComplete(frame.body);
    case wire::Kind::Message: return onMessage(frame.body);
    case wire::Kind::CaptureLibraryMissing: return onCaptureLibraryMissing(frame.body);
    case wire::Kind::CaptureState: return onCaptureState(frame.body);
    case wire::Kind::Statistics: return onStatistics(frame.body);
    case wire::Kind::Attribution: return onAttribution(frame.body);
    case wire::Kind::ExecFailed: return onExecFailed(frame.body);
    case wire::Kind::Interfaces: return onInterfaces(frame.body);
    case wire::Kind::FlowClaims: return onFlowClaims(frame.body);
    case wire::Kind::PacketSends: return onPacketSends(frame.body);
    default: return false;
    }
}

bool HelperConnection::onHello(std::span<const std::uint8_t> body) {
    const auto hello = wire::decodeHello(body);
    if (!hello || hello->magic != wire::kMagic) return false;
    if (hello->version != wire::kProtocolVersion) {
        m_events.otherVersion();
        return false;
    }
    m_greeted = true;
    return true;
}

bool HelperConnection::onFlows(std::span<const std::uint8_t> body) {
    m_flowDeltas.clear();
    if (!wire::decodeFlows(body, m_flowDeltas)) return false;
    m_events.flows(m_flowDeltas);
    return true;
}

bool HelperConnection::onOwnerClaims(std::span<const std::uint8_t> body) {
    m_claims.clear();
    if (!wire::decodeOwnerClaims(body, m_claims)) return false;
    m_events.ownerClaims(m_claims);
    return true;
}

bool HelperConnection::onFlowClaims(std::span<const std::uint8_t> body) {
    m_flows.clear();
    if (!wire::decodeFlowClaims(body, m_flows)) return false;
    m_events.flowClaims(m_flows);
    return true;
}

bool HelperConnection::onPacketSends(std::span<const std::uint8_t> body) {
    m_sends.clear();
    if (!wire::decodePacketSends(body, m_sendLabel, m_sends)) return false;
    m_events.packetSends(m_sendLabel, m_sends);
    return true;
}

bool HelperConnection::onClaimsComplete(std::span<const std::uint8_t> body) {
    const auto upTo = wire::decodeClaimsComplete(body);
    if (!upTo) return false;
    m_events.claimsComplete(*upTo);
    return true;
}

bool HelperConnection::onMessage(std::span<const std::uint8_t> body) {
    const auto message = wire::decodeMessage(body);
    if (!message) return false;
    m_events.message(*message);
    return true;
}

bool HelperConnection::onCaptureLibraryMissing(std::span<const std::uint8_t> body) {
    if (!body.empty()) return false;
    m_events.captureLibraryMissing();
    return true;
}

bool HelperConnection::onCaptureState(std::span<const std::uint8_t> body) {
    const auto state = wire::decodeCaptureState(body);
    if (!state) return false;
    m_events.captureState(*state);
    return true;
}

bool HelperConnection::onStatistics(std::span<const std::uint8_t> body) {
    const auto statistics = wire::decodeStatistics(body);
    if (!statistics) return false;
    m_events.statistics(*statistics);
    return true;
}

bool HelperConnection::onAttribution(std::span<const std::uint8_t> body) {
    const auto attribution = wire::decodeAttribution(body);
    if (!attribution) return false;
    m_events.attribution(*attribution);
    return true;
}

// The child that could not run the helper says why, and the conversation is over.
bool HelperConnection::onExecFailed(std::span<const std::uint8_t> body) {
    const auto error = wire::decodeExecFailed(body);
    if (!error) return false;
    m_events.execFailed(*error);
    return false;
}

bool HelperConnection::onInterfaces(std::span<const std::uint8_t> body) {
    CapturedInterfaces interfaces;
    if (!wire::decodeInterfaces(body, interfaces)) return false;
    m_events.interfaces(std::move(interfaces));
    return true;
}

}  // namespace sondrel
