#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/flat_index.h"
#include "base/ip_address.h"
#include "base/text.h"

namespace sondrel {

// One remote endpoint of one application: a row of the Details list.
struct EndpointRecord {
    std::uint16_t localPort = 0;
    std::uint16_t remotePort = 0;  // of the packet that created the row
    std::uint64_t dlBytes = 0;
    std::uint64_t ulBytes = 0;
    std::u16string remoteIpText;
    std::u16string remoteHostName;
    std::uint32_t remoteIp = 0;  // network order; 0 for an IPv6 remote
    std::u16string protocolTag;  // "TCP:", "UDP:" or "-"
    IpAddress remoteAddress;     // either family: the key of host names
    // The row that gathers an application's endpoints beyond the table's
    // bound: its remote reads "other" and it has no host name.
    bool overflow = false;
    // Of the packet that created the row: an IPv6 packet's IPv4-mapped remote
    // reads otherwise than the IPv4 address, so it is another row.
    std::uint8_t family = kFamilyIpv4;
    // The interface its last packet came by (the kernel's index); 0 unknown.
    std::uint32_t interfaceIndex = 0;
    // The part of ulBytes and dlBytes already handed to the history: a flush
    // takes the difference, so it walks the table without looking anything up.
    std::uint64_t historyUl = 0;
    std::uint64_t historyDl = 0;
    // Set once remoteHostName has been handed to the history; a new name clears it.
    bool historyHostSent = false;
};

// One application: a row of the Applications list. `name` is its identity,
// held as visibleText makes it: two labels that differ only in what it
// escapes (a raw ESC and a typed "\x1b") are one row.
struct AppRecord {
    std::u16string name;
    std::uint64_t dlBytes = 0;
    std::uint64_t ulBytes = 0;
    std::u16string lastRemoteHost;
    std::vector<EndpointRecord> endpoints;  // in order of first appearance
    bool protocolRow = false;               // a protocol's pseudo-application, not a program
};

// The text of the overflow row's remote.
inline constexpr std::u16string_view kOverflowRemoteText = u"other";

// "%d.%d.%d.%d" of an address held in network order.
std::u16string FormatIPv4(std::uint32_t address);
// Writes the same text into `out`, reusing its capacity (the per-packet path).
void FormatIPv4(std::uint32_t address, std::u16string& out);

// The applications in order of first appearance, with indexes beside the
// ordered containers so that finding a name, an endpoint or every row of a
// remote address costs the same whatever the table's size. The observable
// behaviour is that of a front-to-back scan: names are unique keys, an
// endpoint is identified by (local port, remote address).
class AppTable {
public:
    const std::vector<AppRecord>& records() const { return m_apps; }
    std::size_t size() const { return m_apps.size(); }
    bool empty() const { return m_apps.empty(); }

    // Index of the record called `name` (raw or already made visible), or npos.
    std::size_t findApp(std::u16string_view name) const;
    AppRecord& app(std::size_t index) { return m_apps[index]; }
    const AppRecord& app(std::size_t index) const { return m_apps[index]; }

    // Appends a record without endpoints, its name made visible; returns its index.
    std::size_t appendApp(std::u16string name, bool protocolRow = false);
    // Index of the endpoint of app `appIndex` with this local port and remote address, or npos.
    std::size_t findEndpoint(std::size_t appIndex, std::uint16_t localPort, const IpAddress& remote,
                             std::uint8_t family) const;
    std::size_t findEndpoint(std::size_t appIndex, std::uint16_t localPort, std::uint32_t remoteIp) const {
        return findEndpoint(appIndex, localPort, IpAddress::fromIpv4(remoteIp), kFamilyIpv4);
    }
    EndpointRecord& appendEndpoint(std::size_t appIndex, EndpointRecord endpoint);
    // The application's "other" row, created when first needed.
    std::size_t overflowEndpoint(std::size_t appIndex);
    // Endpoint rows of every application together, "other" rows included.
    std::size_t endpointCount() const { return m_endpointIndex.size(); }

    // Sets remoteHostName of every endpoint whose remote address is `address`.
    void setHostName(const IpAddress& address, const std::u16string& hostName);
    void setHostName(std::uint32_t address, const std::u16string& hostName) {
        setHostName(IpAddress::fromIpv4(address), hostName);
    }

    void clear();
    // Changes at every clear(), so callers may cache indexes between packets.
    std::uint64_t generation() const { return m_generation; }

    static constexpr std::size_t npos = std::size_t(-1);

private:
    struct U16Hash {
        using is_transparent = void;
        std::size_t operator()(std::u16string_view s) const noexcept { return std::hash<std::u16string_view>{}(s); }
    };
    struct U16Equal {
        using is_transparent = void;
        bool operator()(std::u16string_view a, std::u16string_view b) const noexcept { return sameText(a, b); }
    };
    struct EndpointRef {
        std::size_t app;
        std::uint32_t endpoint;
    };
    // Application index (plus one, so no key is zero) with the local port,
    // then the remote address: nothing of either is cut, whatever the number
    // of applications.
    static FlatIndex::Key endpointKey(std::size_t app, std::uint16_t localPort, const IpAddress& remote,
                                      std::uint8_t family) {
        const std::uint64_t ipv6 = family == kFamilyIpv6 ? 1 : 0;
        return {(std::uint64_t(app) + 1) << 17 | ipv6 << 16 | localPort, remote.high(), remote.low()};
    }
    // No packet carries this remote: ff ff ... is a multicast address nothing answers from.
    static FlatIndex::Key overflowKey(std::size_t app) { return {(std::uint64_t(app) + 1) << 17, ~0ull, ~0ull}; }

    std::vector<AppRecord> m_apps;
    std::unordered_map<std::u16string, std::size_t, U16Hash, U16Equal> m_byName;
    FlatIndex m_endpointIndex;
    std::unordered_map<IpAddress, std::vector<EndpointRef>, IpAddressHash> m_byRemote;
    std::uint64_t m_generation = 0;
};

// Bytes counted on one interface since the statistics were last reset.
struct InterfaceBytes {
    std::uint32_t index = 0;
    std::uint64_t ulBytes = 0;
    std::uint64_t dlBytes = 0;
};

// The records and the lock that guards every field of them. Resolver threads
// hold it through a shared_ptr so that it outlives them.
struct RecordsState {
    std::mutex RecordsLock;
    AppTable table;
    // Names of the interfaces captured so far, by index. Kept when an
    // interface goes, so its rows still say where their bytes went.
    std::unordered_map<std::uint32_t, std::u16string> interfaceNames;
    // In order of first packet; cleared with the table.
    std::vector<InterfaceBytes> interfaceBytes;
};

}  // namespace sondrel
