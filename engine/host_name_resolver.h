#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "engine/accounting.h"
#include "engine/records.h"
#include "base/ip_address.h"

namespace sondrel {

// Reverse look-up of one address of either family: the host name as UTF-8,
// or nothing when the address has no name. Runs on a resolver thread.
using ReverseLookup = std::function<std::optional<std::string>(const IpAddress& address)>;

// getnameinfo with NI_NAMEREQD.
std::optional<std::string> systemReverseLookup(const IpAddress& address);

// Looks each remote address up once, on a detached HostNameResolver thread,
// and remembers the answer (a name, or none) for the rows that come later.
// A look-up is itself traffic to the name server, on a new port: without the
// memory its own row would start another look-up, and so on without end.
// At most `maxThreads` look-ups run at once: an address met while the bound
// is reached is left unnamed and tried again with its next new row, so a
// flood of new remote addresses cannot exhaust the process.
class HostNameResolverPool final : public ResolverStarter {
public:
    HostNameResolverPool(std::shared_ptr<RecordsState> records, ReverseLookup lookup, std::size_t maxThreads = 256);

    void startResolver(const IpAddress& remote, EndpointRecord& row) override;

    std::size_t running() const;
    // Look-ups started so far, for the tests and the measurements.
    std::uint64_t started() const;

    // Longest name, in UTF-16 units including its terminating zero, that is written.
    static constexpr std::size_t kNameBufferUnits = 258;
    // Answers remembered at most; beyond it the memory starts afresh.
    static constexpr std::size_t kMaxRemembered = 1 << 17;

    struct Shared;

private:
    std::shared_ptr<Shared> m_shared;
    std::size_t m_maxThreads;
};

}  // namespace sondrel
