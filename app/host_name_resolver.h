#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/accounting.h"
#include "app/records.h"

namespace sondrel {

// Reverse look-up of one IPv4 address (network order): the host name as UTF-8,
// or nothing when the address has no name. Runs on a resolver thread.
using ReverseLookup = std::function<std::optional<std::string>(std::uint32_t address)>;

// getnameinfo with NI_NAMEREQD.
std::optional<std::string> systemReverseLookup(std::uint32_t address);

// Starts one detached HostNameResolver thread per new endpoint row. At most
// `maxThreads` run at once: a row created while the bound is reached is
// treated as a thread that could not be started (no name, no retry), so a
// flood of new remote addresses cannot exhaust the process.
class HostNameResolverPool final : public ResolverStarter {
public:
    HostNameResolverPool(std::shared_ptr<RecordsState> records, ReverseLookup lookup, std::size_t maxThreads = 256);

    void startResolver(std::uint32_t remoteAddress) override;

    std::size_t running() const;

    // Longest name, in UTF-16 units including its terminating zero, that is written.
    static constexpr std::size_t kNameBufferUnits = 258;

private:
    struct Shared {
        std::shared_ptr<RecordsState> records;
        ReverseLookup lookup;
        std::atomic<std::size_t> running{0};
    };
    static void HostNameResolver(const std::shared_ptr<Shared>& shared, std::uint32_t address);

    std::shared_ptr<Shared> m_shared;
    std::size_t m_maxThreads;
};

}  // namespace sondrel
