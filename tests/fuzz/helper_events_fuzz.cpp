// libFuzzer target for what the window reads from its capture helper, on to
// the claim table the packets are then looked up in.
#include <vector>

#include "wire/events.h"
#include "engine/owners/owner_claims.h"
#include "tests/fuzz/helper_pipe_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sondrel;
    OwnerClaims claims;
    std::vector<PacketRecord> records;
    std::vector<OwnerClaim> owners;
    std::vector<Ipv6Address> addresses;
    fuzz::readFrames(data, size, wire::isEvent, [&](const wire::Frame& frame) {
        switch (frame.kind) {
        case wire::Kind::Hello: (void)wire::decodeHello(frame.body); break;
        case wire::Kind::Packets:
            records.clear();
            if (wire::decodePackets(frame.body, records)) {
                for (const PacketRecord& r : records) {
                    const OwnerLabel label = claims.lookupOwner(OwnerQuery{r.family, r.protocol, r.srcPort, r.timeNs});
                    if (label.text == nullptr) __builtin_trap();
                }
            }
            break;
        case wire::Kind::OwnerClaims:
            owners.clear();
            if (wire::decodeOwnerClaims(frame.body, owners)) claims.add(owners);
            break;
        case wire::Kind::ClaimsComplete:
            if (const auto upTo = wire::decodeClaimsComplete(frame.body)) claims.markComplete(*upTo);
            break;
        case wire::Kind::Message: (void)wire::decodeMessage(frame.body); break;
        case wire::Kind::CaptureState: (void)wire::decodeCaptureState(frame.body); break;
        case wire::Kind::Statistics: (void)wire::decodeStatistics(frame.body); break;
        case wire::Kind::Attribution: (void)wire::decodeAttribution(frame.body); break;
        case wire::Kind::ExecFailed: (void)wire::decodeExecFailed(frame.body); break;
        case wire::Kind::LocalAddresses: (void)wire::decodeLocalAddresses(frame.body, addresses); break;
        default: break;
        }
    });
    return 0;
}
