// libFuzzer target for what the window reads from its capture helper: the
// connection the window runs, fed in chunks as a pipe hands them over, on to
// the claim table the packets are then looked up in.
#include <vector>

#include "engine/helper/helper_connection.h"
#include "base/packet_queue.h"
#include "engine/owners/owner_claims.h"
#include "tests/fuzz/helper_pipe_fuzz.h"

namespace {

using namespace sondrel;

// What the window's helper client does with each event that affects lookups.
class ClaimTableEvents final : public HelperEvents {
public:
    void otherVersion() override {}
    void execFailed(int) override {}
    void flows(std::span<const FlowDelta> flows) override {
        PacketQueue queue;
        queue.pushFlows(flows);
        const std::scoped_lock guard(queue.QueueLock);
        for (const PacketRecord& r : queue.records()) {
            const IpAddress source =
                r.family == kFamilyIpv4 ? IpAddress::fromIpv4(r.srcAddr) : IpAddress::fromIpv6(r.src6);
            const IpAddress destination =
                r.family == kFamilyIpv4 ? IpAddress::fromIpv4(r.dstAddr) : IpAddress::fromIpv6(r.dst6);
            const OwnerLabel label = m_claims.lookupOwner(
                OwnerQuery{r.family, r.protocol, r.srcPort, r.timeNs, r.dstPort, &source, &destination});
            if (label.text == nullptr) __builtin_trap();
            const OwnerLabel sender = m_claims.takePacketSender(r);
            if (sender.text != nullptr && sender.text->empty()) __builtin_trap();
        }
    }
    void ownerClaims(std::span<const OwnerClaim> claims) override { m_claims.add(claims); }
    void flowClaims(std::span<const FlowClaim> claims) override { m_claims.addFlows(claims); }
    void packetSends(const std::string& label, std::span<const PacketSend> sends) override {
        m_claims.addPacketSends(label, sends);
    }
    void claimsComplete(std::int64_t upToNs) override { m_claims.markComplete(upToNs); }
    void message(const wire::Message&) override {}
    void captureLibraryMissing() override {}
    void captureState(const wire::CaptureState&) override {}
    void statistics(const wire::Statistics&) override {}
    void attribution(const wire::Attribution&) override {}
    void interfaces(CapturedInterfaces) override {}

private:
    OwnerClaims m_claims;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ClaimTableEvents events;
    HelperConnection connection(FileDescriptor(), events);
    fuzz::forEachChunk(data, size, [&](std::span<const std::uint8_t> chunk) { return connection.receive(chunk); });
    return 0;
}
