#pragma once

#include <cstdint>
#include <memory>

#include "engine/records.h"
#include "base/ip_address.h"
#include "base/local_addresses.h"
#include "base/packet_queue.h"
#include "engine/owners/owner_lookup.h"

namespace sondrel {

// Starts the reverse look-up of a new endpoint row's remote address. Called
// with RecordsLock held, once per new endpoint row; must not block. A name
// already known may be written into the row at once.
class ResolverStarter {
public:
    virtual ~ResolverStarter() = default;
    virtual void startResolver(const IpAddress& remote, EndpointRecord& row) = 0;
};

// Turns queued packets into statistics: direction against the local
// addresses, owner by protocol, local port and capture time, bytes into the
// application and endpoint rows.
class TrafficAccountant {
public:
    TrafficAccountant(std::shared_ptr<RecordsState> records, const OwnerLookupService& owners,
                      ResolverStarter& resolvers, const LocalAddresses& local);

    // Counts the packet for each of its local ends: a packet between two
    // local addresses is its sender's upload and its receiver's download.
    void AccountPacket(const PacketRecord& record);

    // The drain step of the tick: holds QueueLock while queued records are
    // accounted, oldest first, and removed. A record captured after the owner
    // claims are complete waits for the next tick, so a program whose socket
    // the next pass finds gets its bytes; at the next tick it is counted
    // whatever the claims then say.
    void drainQueue(PacketQueue& queue);
    // The queue was emptied behind the drain's back (a reset).
    void queueCleared() { m_held = 0; }

    // Endpoint rows beyond which an application's new endpoints share its
    // "other" row, so a flood of spoofed sources cannot exhaust memory.
    void setMaxEndpointRows(std::size_t rows) { m_maxEndpointRows = rows; }
    // The bound was reached for the first time since the last call.
    bool takeOverflowNotice();

    // About 350 bytes a row (the row, its indexes, the resolver's memory of its
    // address): a flood of spoofed sources leaves the window below 200 MB.
    static constexpr std::size_t kDefaultMaxEndpointRows = 250'000;

private:
    // Packets come in flows: the rows of the previous packet are tried before
    // the indexes. Valid while the table's generation is unchanged.
    struct LastRows {
        std::uint64_t generation = ~std::uint64_t(0);
        const std::u16string* label = nullptr;
        std::size_t app = 0;
        std::size_t endpoint = 0;
        std::uint16_t localPort = 0;
        IpAddress remote;
        std::uint8_t family = 0;
    };

    // One local end of the packet: its owner's application and endpoint rows.
    // The previous packet's rows are checked here; the look-ups below run
    // only when the flow changes, under RecordsLock.
    void accountEnd(const PacketRecord& record, const PacketDirection& direction);
    // Kept out of line: the common path stays as small as it was.
    [[gnu::noinline]] void accountInjected(const PacketRecord& record, const OwnerLabel& sender);
    // Inlined into both callers: the per-packet path pays no extra call for it.
    [[gnu::always_inline]] inline void accountTo(const PacketRecord& record, const PacketDirection& direction,
                                                 const OwnerLabel& owner);
    // The interface's counters, appended when new; under RecordsLock.
    InterfaceBytes& interfaceBytes(std::uint32_t index);
    // The owner's application row, appended when new.
    std::size_t findAppRow(AppTable& table, const OwnerLabel& owner);
    // The packet's endpoint row of that application: the overflow row once the
    // bound is reached, npos when a new row is to be appended.
    std::size_t findEndpointRow(AppTable& table, std::size_t appIndex, const PacketDirection& direction,
                                std::uint8_t family);
    // The overflow row stands for many remotes: the application's last one is this packet's.
    void nameOverflowRemote(AppRecord& app, std::uint8_t family, const IpAddress& remote);
    // A new endpoint row, its reverse look-up started.
    std::size_t appendEndpointRow(AppTable& table, std::size_t appIndex, const PacketRecord& record,
                                  const PacketDirection& direction, std::uint64_t ul, std::uint64_t dl);

    std::shared_ptr<RecordsState> m_records;
    const OwnerLookupService& m_owners;
    ResolverStarter& m_resolvers;
    const LocalAddresses& m_local;
    std::u16string m_remoteText;  // scratch, reused per packet
    std::size_t m_interfaceSlot = 0;  // where the last packet's interface was found
    LastRows m_last;
    std::size_t m_held = 0;  // records the last drain left in the queue
    std::size_t m_maxEndpointRows = kDefaultMaxEndpointRows;
    bool m_overflowed = false;
    bool m_overflowNoticePending = false;
};

}  // namespace sondrel
