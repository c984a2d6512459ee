#pragma once

#include <cstdint>
#include <string>

namespace sondrel {

// Names the application that owns a local port. Empty text: the packet cannot
// be attributed and is not counted.
class OwnerLookupService {
public:
    virtual ~OwnerLookupService() = default;
    virtual std::u16string OwnerLookup(std::uint16_t localPort, std::uint16_t protocol) const = 0;
};

}  // namespace sondrel
