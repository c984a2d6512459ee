#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "app/records.h"
#include "capture/packet_queue.h"
#include "discovery/owner_lookup.h"

namespace sondrel {

// Starts one reverse look-up of a remote address (network order). Called with
// RecordsLock held, once per new endpoint row; must not block.
class ResolverStarter {
public:
    virtual ~ResolverStarter() = default;
    virtual void startResolver(std::uint32_t remoteAddress) = 0;
};

// Turns queued packets into statistics: direction against localAddress, owner
// by local port, bytes into the application and endpoint rows.
class TrafficAccountant {
public:
    TrafficAccountant(std::shared_ptr<RecordsState> records, const OwnerLookupService& owners,
                      ResolverStarter& resolvers, const std::atomic<std::uint32_t>& localAddress);

    void AccountPacket(std::uint32_t srcAddr, std::uint32_t dstAddr, std::uint32_t length, std::uint16_t dstPort,
                       std::uint16_t srcPort, std::uint16_t protocol);

    // The drain step of the tick: holds QueueLock while every queued record is
    // accounted, oldest first, and removed.
    void drainQueue(PacketQueue& queue);

private:
    // Packets come in flows: the rows of the previous packet are tried before
    // the indexes. Valid while the table's generation is unchanged.
    struct LastRows {
        std::uint64_t generation = ~std::uint64_t(0);
        std::u16string name;
        std::size_t app = 0;
        std::size_t endpoint = 0;
        std::uint16_t localPort = 0;
        std::uint32_t remoteAddr = 0;
    };

    std::shared_ptr<RecordsState> m_records;
    const OwnerLookupService& m_owners;
    ResolverStarter& m_resolvers;
    const std::atomic<std::uint32_t>& m_localAddress;
    std::u16string m_remoteText;  // scratch, reused per packet
    LastRows m_last;
};

}  // namespace sondrel
