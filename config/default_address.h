#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/interfaces.h"

namespace sondrel {

// One IPv4 address of a network interface, in the order getifaddrs lists them.
struct InterfaceAddress {
    std::string name;
    std::uint32_t address = 0;  // network order
    bool up = false;
};

// Whether the address lies in 127.0.0.0/8.
bool isLoopbackAddress(std::uint32_t address);

// The interface holding the default route in a /proc/net/route table: an up
// route with destination and mask 0; the lowest metric wins, the earlier line on
// a tie. Lines that do not parse are skipped.
//   eth0	00000000	0102A8C0	0003	0	0	100	00000000	0	0	0
std::optional<std::string> defaultRouteInterface(std::string_view routeTable);

// The capture address to start with: the first non-loopback address of the
// host-name lookup; when it gives only loopback addresses or none, the first
// address of the default-route interface; else the first non-loopback address
// of an up interface; else 0. Host-name lookups mostly answer 127.0.1.1 from
// /etc/hosts, which no capture device carries.
std::uint32_t chooseDefaultAddress(std::span<const std::uint32_t> hostNameAddresses,
                                   const std::optional<std::string>& defaultRouteIfName,
                                   std::span<const InterfaceAddress> interfaces);

// gethostname, then getaddrinfo for AF_INET, in the order it answers.
std::vector<std::uint32_t> hostNameAddresses();
// The IPv4 addresses among the rows, in their order.
std::vector<InterfaceAddress> interfaceAddresses(std::span<const InterfaceListRow> rows);
// Every IPv4 address getifaddrs reports.
std::vector<InterfaceAddress> interfaceAddresses();

// The live form of chooseDefaultAddress; reads `procRoot`/net/route. The
// host-name lookup may wait for DNS for seconds: never call it on the GUI thread.
std::uint32_t DefaultLocalAddress(const std::string& procRoot = "/proc");

// A default address looked up on a detached worker thread, so that a slow or
// unreachable DNS server never holds up the window. The worker holds the slot
// it answers into, so this object may go before the answer comes.
class DefaultAddressLookup {
public:
    explicit DefaultAddressLookup(std::function<std::uint32_t()> lookUp);

    // The address once the lookup has answered.
    std::optional<std::uint32_t> result() const;

private:
    struct Slot {
        mutable std::mutex lock;
        std::optional<std::uint32_t> address;
    };
    std::shared_ptr<Slot> m_slot;
};

}  // namespace sondrel
