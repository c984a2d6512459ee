#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <span>

#include "base/packet_record.h"
#include "probe/capture/fragment_ports.h"
#include "base/packet_queue.h"
#include "probe/capture/duplicate_frames.h"
#include "probe/capture/interface_filter.h"
#include "probe/capture/link_type.h"

namespace sondrel {

// Maps pcap_datalink()'s answer: DLT_EN10MB, DLT_RAW, DLT_LINUX_SLL, DLT_LINUX_SLL2.
LinkType linkTypeFromDatalink(int datalink);

// At most this many IPv6 extension headers are walked; the Next Header that
// follows the last of them is taken as the upper layer, whatever it names.
inline constexpr int kMaxIpv6ExtensionHeaders = 8;

// DecodeFrame's reading of the headers, without time stamp, fragment table or
// queue: reduces one captured frame to its record and its place in IP
// fragmentation and returns true, or returns false when the frame is not IP on this link or
// is shorter than the bytes that must be read (record and fragment then hold
// nothing of use). Never reads beyond frame.size(); timeNs is left 0. Out
// parameters rather than a returned value: the record is written where the
// caller keeps it, which halves the cost per frame.
//
// The network layer: EtherType 0x0800 or 0x86DD (Ethernet), the protocol field
// (cooked, both versions), or the version nibble 4 or 6 (Raw). A version 2
// cooked header also gives interfaceIndex; other links leave it 0. A VLAN tag hides the EtherType,
// so tagged frames give nothing.
//
// IPv4: the fixed 20-byte header must be captured. length is Total Length. TCP
// and UDP take their ports from 4 x IHL on (an IHL below 5 is not corrected),
// and those four bytes must be captured too. A later fragment (offset above 0)
// has no ports and needs only the fixed header. Nothing else is checked: not the
// version nibble on Ethernet, the checksum, or Total Length against the frame.
//
// IPv6: the fixed 40-byte header must be captured; length is 40 + Payload
// Length. Payload Length 0 with a wire packet longer than 40 + 65535 bytes (a
// jumbogram, or a GRO/BIG TCP packet that the kernel hands over with Payload
// Length 0) counts the wire bytes after the link header instead. Hop-by-hop (0),
// routing (43), destination options (60) and fragment (44) headers, and AH (51)
// by its own length rule, are walked to the upper layer, reading two bytes of
// each (eight of a fragment header), each of which must be captured. A fragment
// header with offset above 0 ends the walk: protocol is its Next Header, ports
// 0. Anything else (ESP 50, No Next Header 59, ICMPv6 58, Mobility 135 ...) is
// the upper layer. TCP (6) and UDP (17) take their ports from the four bytes
// after the last extension header, which must be captured; every other upper
// layer has ports 0. Header lengths are not checked against Payload Length.
//
// wireLength is the frame's length on the wire (pcap's len), for jumbograms.
bool decodeHeaders(std::span<const std::uint8_t> frame, LinkType linkType, std::size_t wireLength,
                   PacketRecord& record, FragmentFields& fragment);

// What the capture thread passes as pcap_dispatch's user pointer.
struct DecodeContext {
    PacketQueue* queue = nullptr;
    LinkType linkType = LinkType::Ethernet;
    // The handle was opened with PCAP_TSTAMP_PRECISION_NANO, so ts.tv_usec holds
    // nanoseconds.
    bool nanosecondTimestamps = false;
    FragmentPorts fragments{};
    // Stamped on every record of a link without indexes in its frames.
    std::uint32_t interfaceIndex = 0;
    // With the "any" device: the interfaces counted (none: every one), and
    // the frames already seen on another of them (none: no such check).
    InterfaceFilter* interfaces = nullptr;
    DuplicateFrames* duplicates = nullptr;
};

// The pcap_dispatch handler: user points at a DecodeContext; the captured
// length (caplen) bounds every read. Stamps the record with the capture time,
// lends a later fragment the ports of its first (FragmentPorts) and appends the
// record, if any, unless its interface is not counted or the same packet was
// just seen on another interface. Runs on the capture thread only.
void DecodeFrame(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes);

}  // namespace sondrel
