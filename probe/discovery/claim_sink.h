#pragma once

#include <cstdint>
#include <span>

#include "base/owner_claim.h"

namespace sondrel {

// Where discovery sends what it learns: the window's claim table when it runs
// in the same process, the pipe to the window when it runs in the capture helper.
class ClaimSink {
public:
    virtual ~ClaimSink() = default;
    virtual void ownerClaims(std::span<const OwnerClaim> claims) = 0;
    // Every claim about sockets that existed at `upToNs` has been sent.
    virtual void claimsComplete(std::int64_t upToNs) = 0;
    // Discovery has ended (or never ran): no more claims will come.
    virtual void discoveryEnded() = 0;
};

}  // namespace sondrel
