/* The in-kernel flow counter's map layouts, shared by the socket filter
 * (flow_counter.bpf.c) and its loader (flow_counter.cpp). Explicit padding
 * keeps C and C++ agreeing byte for byte, and a hash key must have no
 * uninitialised holes. */
#pragma once

#ifndef __bpf__
#include <linux/types.h>
#endif

/* One flow as a PacketRecord would give it: addresses in network order (an
 * IPv4 address in the first four bytes, the rest 0), ports in host order. */
struct flow_key {
	__u8 family; /* 4 or 6, as kFamilyIpv4 / kFamilyIpv6 */
	__u8 protocol;
	__u16 src_port;
	__u16 dst_port;
	__u16 pad;
	__u32 ifindex;
	__u8 src_addr[16];
	__u8 dst_addr[16];
	/* A UDP local port's sender generation (struct port_sender): the
	 * packets of a port's next program start flows of their own. */
	__u32 generation;
};

/* Per CPU. interval_first_ns is the first packet after the latest drain
 * epoch that this CPU saw; all times are CLOCK_BOOTTIME. */
struct flow_value {
	__u64 bytes;
	__u64 packets;
	__u64 first_ns;
	__u64 last_ns;
	__u64 interval_first_ns;
};

/* What ties the fragments of one datagram together (as FragmentPorts keys it). */
struct fragment_key {
	__u8 family;
	__u8 protocol; /* IPv4 Protocol; IPv6 the fragment header's Next Header */
	__u16 pad;
	__u32 identification;
	__u8 src_addr[16];
	__u8 dst_addr[16];
};

struct fragment_ports {
	__u64 time_ns;
	__u16 src_port;
	__u16 dst_port;
	__u8 protocol;
	__u8 pad[3];
};

/* The process that last sent from one UDP port of this namespace, written
 * by the owner probes as each datagram is queued to its device (before the
 * capture socket sees it). A change of sender after a pause bumps the
 * generation: senders taking turns without one share their flows, as they
 * share the port. */
struct port_sender {
	__u64 last_ns;
	__u32 tgid;
	__u32 generation;
};

/* One slot of the copy check of the "any" device (DuplicateFrames). */
struct duplicate_slot {
	__u64 digest;
	__u64 time_ns;
	__u32 ifindex;
	__u32 pad;
};

#define FLOW_COUNTER_MAX_FLOWS 65536
#define FLOW_COUNTER_FRAGMENTS 4096
#define FLOW_COUNTER_DUPLICATE_SLOTS 1024
#define FLOW_COUNTER_INTERFACES 4096
#define FLOW_COUNTER_PORTS 65536
