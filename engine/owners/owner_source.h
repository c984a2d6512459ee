#pragma once

#include "engine/owners/owner_lookup.h"

namespace sondrel {

// Where the window's owners come from: discovery in the capture helper, or
// discovery in this process (the tests' proc trees).
class OwnerSource : public OwnerLookupService {
public:
    // 0 when discovery runs, -1 when it cannot (the warning has been shown).
    virtual int StartOwnerDiscovery() = 0;
    virtual void StopOwnerDiscovery() = 0;
};

}  // namespace sondrel
