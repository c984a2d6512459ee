#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "base/ip_address.h"
#include "base/packet_record.h"

namespace sondrel {

// The name a packet is counted under. `text` points into storage that lives
// as long as the program, so it stays valid after the lock of the answering
// service is released. An empty text: the packet cannot be attributed and is
// not counted.
struct OwnerLabel {
    const std::u16string* text = nullptr;
    // A protocol's pseudo-application ("TCP protocol", "ICMP protocol"), not a
    // program: told by this flag, never by the words of the text.
    bool protocolRow = false;
};

// Which port, of which protocol and family, at which capture time. A time of
// 0 stands for a packet without a time stamp: the latest owner answers. The
// addresses name raw sockets (the local one) and the connections of other
// network namespaces (the remote end); without them only ports answer.
struct OwnerQuery {
    std::uint8_t family = 4;
    std::uint16_t protocol = 0;
    std::uint16_t localPort = 0;
    std::int64_t timeNs = 0;
    std::uint16_t remotePort = 0;
    const IpAddress* local = nullptr;
    const IpAddress* remote = nullptr;
};

// Names the application that owned a local port when a packet was captured.
class OwnerLookupService {
public:
    virtual ~OwnerLookupService() = default;
    virtual OwnerLabel lookupOwner(const OwnerQuery& query) const = 0;

    // Every claim about ports held up to this capture time has arrived; a
    // packet captured later may still learn its owner and is kept a while.
    // The kernel tunnel whose port this is at that time (query.localPort holds
    // the port), or no text: for packets a tunnel sent to its peer's port.
    virtual OwnerLabel tunnelAt(const OwnerQuery& /*query*/) const { return {}; }
    // The program that wrote this frame through a packet socket, or no text.
    virtual OwnerLabel takePacketSender(const PacketRecord& /*record*/) const { return {}; }
    virtual std::int64_t claimsCompleteUpTo() const { return std::numeric_limits<std::int64_t>::max(); }

    // The latest owner of an IPv4 port, as text.
    std::u16string OwnerLookup(std::uint16_t localPort, std::uint16_t protocol) const {
        return *lookupOwner(OwnerQuery{4, protocol, localPort, 0}).text;
    }
};

}  // namespace sondrel
