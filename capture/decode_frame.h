#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <optional>
#include <span>

#include "capture/packet_queue.h"
#include "base/packet_record.h"

namespace sondrel {

// The link layers whose frames can carry the IPv4 packets we count. VPN and
// tunnel interfaces deliver bare IP (Raw), the "any" device delivers Linux
// cooked frames; anything else is Unsupported and never decoded.
enum class LinkType : std::uint8_t { Ethernet, Raw, LinuxCooked, Unsupported };

// Maps pcap_datalink()'s answer: DLT_EN10MB, DLT_RAW, DLT_LINUX_SLL.
LinkType linkTypeFromDatalink(int datalink);

// Reduces one captured frame to its record, or nothing when the frame is not
// IPv4 on this link or is shorter than the bytes we read (the link header plus
// 20, and for TCP and UDP the link header plus 4 x IHL plus 4). Never reads
// beyond frame.size(). Nothing but the EtherType (Ethernet), the version
// nibble (Raw) or the protocol field (cooked) is checked: not the checksum,
// not an IHL below 5, not whether Total Length agrees with the frame.
std::optional<PacketRecord> decodeFrame(std::span<const std::uint8_t> frame, LinkType linkType);

// What the capture thread passes as pcap_dispatch's user pointer.
struct DecodeContext {
    PacketQueue* queue = nullptr;
    LinkType linkType = LinkType::Ethernet;
};

// The pcap_dispatch handler: user points at a DecodeContext; the captured
// length (caplen) bounds every read. Appends the decoded record, if any.
void DecodeFrame(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes);

}  // namespace sondrel
