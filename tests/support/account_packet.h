#pragma once

#include <cstdint>

#include "engine/accounting.h"

namespace sondrel {

// An IPv4 packet given by its fields, the way tests and benchmarks write them.
inline void AccountPacket(TrafficAccountant& accountant, std::uint32_t srcAddr, std::uint32_t dstAddr,
                          std::uint32_t length, std::uint16_t dstPort, std::uint16_t srcPort,
                          std::uint16_t protocol) {
    accountant.AccountPacket(PacketRecord{srcAddr, dstAddr, length, dstPort, srcPort, protocol});
}

}  // namespace sondrel
