/* Counts captured frames in the kernel: a socket filter on the capture
 * socket reads each frame's headers exactly as the user-space decoder
 * (decodeHeaders) does, adds it to a per-CPU flow table and keeps it from
 * user space. A frame it cannot count is passed whole, so every frame is
 * counted once: here, or by the capture thread. Socket filters have no direct
 * packet access: every read is a bpf_skb_load_bytes, whose failure beyond the
 * frame's end is the decoder's "shorter than the bytes to read". */
#include <linux/bpf.h>
#include <linux/errno.h>
#include <linux/if_packet.h>
#include <stdbool.h>

#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "flow_record.h"
#include "shared_maps.bpf.h"

char LICENSE[] SEC("license") = "Dual BSD/GPL";

/* CLOCK_BOOTTIME of the latest drain, written by user space through the
 * memory-mapped .bss just before it reads the table: a flow's first packet
 * after it starts the flow's next interval. */
volatile __u64 drain_epoch_ns = 0;

struct {
	__uint(type, BPF_MAP_TYPE_PERCPU_HASH);
	__uint(max_entries, FLOW_COUNTER_MAX_FLOWS);
	__uint(map_flags, BPF_F_NO_PREALLOC);
	__type(key, struct flow_key);
	__type(value, struct flow_value);
} flows SEC(".maps");

/* Frames passed to user space because the flow table had no room. */
struct {
	__uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
	__uint(max_entries, 1);
	__type(key, __u32);
	__type(value, __u64);
} overflow_frames SEC(".maps");

/* Frames counted in the table: a drain that finds this unchanged has no
 * need to walk the table. */
struct {
	__uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
	__uint(max_entries, 1);
	__type(key, __u32);
	__type(value, __u64);
} counted_frames SEC(".maps");

struct {
	__uint(type, BPF_MAP_TYPE_LRU_HASH);
	__uint(max_entries, FLOW_COUNTER_FRAGMENTS);
	__type(key, struct fragment_key);
	__type(value, struct fragment_ports);
} fragments SEC(".maps");

/* Shared by the CPUs without a lock: two racing on one slot at worst let a
 * copy through, counted twice as before this check existed. */
struct {
	__uint(type, BPF_MAP_TYPE_ARRAY);
	__uint(max_entries, FLOW_COUNTER_DUPLICATE_SLOTS);
	__type(key, __u32);
	__type(value, struct duplicate_slot);
} duplicates SEC(".maps");

/* The user-space interface filter's verdicts, by index: 1 counted, 0 not. */
struct {
	__uint(type, BPF_MAP_TYPE_HASH);
	__uint(max_entries, FLOW_COUNTER_INTERFACES);
	__type(key, __u32);
	__type(value, __u8);
} counted_interfaces SEC(".maps");

enum link_mode { LINK_ETHERNET, LINK_RAW, LINK_COOKED, LINK_COOKED_NAMED };
enum fragment_role { ROLE_WHOLE, ROLE_FIRST, ROLE_LATER };

#define ETHERNET_HEADER 14
#define IPV6_LARGEST_PAYLOAD 65535
#define MAX_IPV6_EXTENSION_HEADERS 8 /* kMaxIpv6ExtensionHeaders */
#define DIGEST_BYTES 64
#define DUPLICATE_WINDOW_NS 5000000LL
#define FRAGMENT_WINDOW_NS 2000000000LL
#define PACKET_SEND_WINDOW_NS 1000000000LL
#define LOOPBACK_IFINDEX 1 /* the loopback device's index in every network namespace */

#define IP_ICMP 1
#define IP_TCP 6
#define IP_UDP 17
#define IP_ICMPV6 58
#define IP_SCTP 132
#define IPV6_HOP_BY_HOP 0
#define IPV6_ROUTING 43
#define IPV6_FRAGMENT 44
#define IPV6_AUTHENTICATION 51
#define IPV6_DESTINATION_OPTIONS 60

struct decoded {
	struct flow_key key;
	__u32 length;
	__u32 identification;
	__u8 role;
	__u8 key_protocol;
};

static __always_inline __u16 big_endian16(const __u8 *bytes)
{
	return (__u16)(bytes[0] << 8 | bytes[1]);
}

/* The ports of TCP, UDP and SCTP, or an echo's identifier on the end its
 * ping socket is at. 0 (uncounted) only when TCP, UDP or SCTP ports are cut
 * off; ICMP without its identifier still counts. */
static __always_inline int read_transport(struct __sk_buff *skb, __u32 offset, __u8 protocol, struct flow_key *key)
{
	const bool ipv4 = key->family == 4;
	const bool icmp = protocol == (ipv4 ? IP_ICMP : IP_ICMPV6);
	__u8 header[6];

	if (protocol != IP_TCP && protocol != IP_UDP && protocol != IP_SCTP && !icmp)
		return 1;
	if (!icmp) {
		if (bpf_skb_load_bytes(skb, offset, header, 4))
			return 0;
		key->src_port = big_endian16(header);
		key->dst_port = big_endian16(header + 2);
		return 1;
	}
	if (bpf_skb_load_bytes(skb, offset, header, 6))
		return 1;
	if (header[0] == (ipv4 ? 8 : 128))
		key->src_port = big_endian16(header + 4);
	else if (header[0] == (ipv4 ? 0 : 129))
		key->dst_port = big_endian16(header + 4);
	return 1;
}

static __always_inline int decode_ipv4(struct __sk_buff *skb, __u32 ip, struct decoded *d)
{
	__u8 header[20];

	if (bpf_skb_load_bytes(skb, ip, header, sizeof(header)))
		return 0;
	d->key.family = 4;
	d->key.protocol = header[9];
	d->length = big_endian16(header + 2);
	__builtin_memcpy(d->key.src_addr, header + 12, 4);
	__builtin_memcpy(d->key.dst_addr, header + 16, 4);
	const __u16 flags_and_offset = big_endian16(header + 6);
	if (flags_and_offset & 0x3FFF) {
		d->identification = big_endian16(header + 4);
		d->key_protocol = header[9];
		if (flags_and_offset & 0x1FFF) {
			d->role = ROLE_LATER;
			return 1;
		}
		d->role = ROLE_FIRST;
	}
	/* An IHL below 5 reads the ports from the fixed header, as the decoder does. */
	return read_transport(skb, ip + 4 * (header[0] & 0x0F), header[9], &d->key);
}

static __always_inline int decode_ipv6(struct __sk_buff *skb, __u32 ip, struct decoded *d)
{
	__u8 header[40];

	if (bpf_skb_load_bytes(skb, ip, header, sizeof(header)))
		return 0;
	d->key.family = 6;
	const __u32 payload_length = big_endian16(header + 4);
	d->length = 40 + payload_length;
	/* A jumbogram, or a GRO/BIG TCP aggregate: its size on the wire. */
	if (payload_length == 0 && skb->len > ip + 40 + IPV6_LARGEST_PAYLOAD)
		d->length = skb->len - ip;
	__builtin_memcpy(d->key.src_addr, header + 8, 16);
	__builtin_memcpy(d->key.dst_addr, header + 24, 16);

	__u8 next = header[6];
	__u32 offset = ip + 40;
#pragma unroll
	for (int walked = 0; walked < MAX_IPV6_EXTENSION_HEADERS; walked++) {
		const bool generic = next == IPV6_HOP_BY_HOP || next == IPV6_ROUTING || next == IPV6_DESTINATION_OPTIONS;
		__u8 extension[8];

		if (!generic && next != IPV6_AUTHENTICATION && next != IPV6_FRAGMENT)
			break;
		if (next == IPV6_FRAGMENT) {
			if (bpf_skb_load_bytes(skb, offset, extension, 8))
				return 0;
		} else if (bpf_skb_load_bytes(skb, offset, extension, 2)) {
			return 0;
		}
		const __u8 type = next;
		next = extension[0];
		if (generic) {
			offset += ((__u32)extension[1] + 1) * 8;
		} else if (type == IPV6_AUTHENTICATION) {
			offset += ((__u32)extension[1] + 2) * 4;
		} else {
			const __u16 offset_and_flags = big_endian16(extension + 2);

			d->key_protocol = next;
			d->identification = (__u32)extension[4] << 24 | (__u32)extension[5] << 16 |
					    (__u32)extension[6] << 8 | extension[7];
			if (offset_and_flags >> 3) {
				d->role = ROLE_LATER;
				d->key.protocol = next;
				return 1;
			}
			d->role = (offset_and_flags & 1) ? ROLE_FIRST : ROLE_WHOLE;
			offset += 8;
		}
	}
	d->key.protocol = next;
	return read_transport(skb, offset, next, &d->key);
}

static __always_inline __u64 rotate_left(__u64 value, int bits)
{
	return value << bits | value >> (64 - bits);
}

/* DuplicateFrames: the same first bytes of an IP packet from another
 * interface within the window are a copy (a bridge and its port). Remembers
 * the packet otherwise. */
static __always_inline bool seen_on_other_interface(struct __sk_buff *skb, __u32 ifindex, __u64 now)
{
	__u64 words[DIGEST_BYTES / 8] = {};
	__u32 size = skb->len;

	if (size > DIGEST_BYTES)
		size = DIGEST_BYTES;
	if (size == 0 || bpf_skb_load_bytes(skb, 0, words, size))
		return false;
	__u64 digest = 0x9E3779B97F4A7C15ULL ^ size;
#pragma unroll
	for (__u32 word = 0; word < DIGEST_BYTES / 8; word++) {
		if (word * 8 >= size)
			break;
		digest = rotate_left((digest ^ words[word]) * 0xFF51AFD7ED558CCDULL, 29);
	}
	digest ^= digest >> 33;
	digest *= 0xC4CEB9FE1A85EC53ULL;
	digest ^= digest >> 33;

	const __u32 index = digest % FLOW_COUNTER_DUPLICATE_SLOTS;
	struct duplicate_slot *slot = bpf_map_lookup_elem(&duplicates, &index);
	if (!slot)
		return false;
	const __s64 age = (__s64)(now - slot->time_ns);
	if (slot->digest == digest && slot->ifindex != ifindex && age >= -DUPLICATE_WINDOW_NS &&
	    age <= DUPLICATE_WINDOW_NS)
		return true;
	slot->digest = digest;
	slot->time_ns = now;
	slot->ifindex = ifindex;
	return false;
}

/* FragmentPorts: a first fragment leaves its ports for the later ones. */
static __always_inline void lend_fragment_ports(struct decoded *d, __u64 now)
{
	struct fragment_key key = {};

	key.family = d->key.family;
	key.protocol = d->key_protocol;
	key.identification = d->identification;
	__builtin_memcpy(key.src_addr, d->key.src_addr, 16);
	__builtin_memcpy(key.dst_addr, d->key.dst_addr, 16);
	if (d->role == ROLE_FIRST) {
		struct fragment_ports ports = {};

		ports.time_ns = now;
		ports.src_port = d->key.src_port;
		ports.dst_port = d->key.dst_port;
		ports.protocol = d->key.protocol;
		bpf_map_update_elem(&fragments, &key, &ports, BPF_ANY);
		return;
	}
	const struct fragment_ports *first = bpf_map_lookup_elem(&fragments, &key);
	if (first && (__s64)(now - first->time_ns) <= FRAGMENT_WINDOW_NS) {
		d->key.src_port = first->src_port;
		d->key.dst_port = first->dst_port;
		d->key.protocol = first->protocol;
	}
}

/* The capture thread pairs what programs write through packet sockets with
 * the frames it sees, so such frames must reach it. */
static __always_inline bool packet_socket_sending(__u64 now)
{
	const __u32 zero = 0;
	const __u64 *sent = bpf_map_lookup_elem(&packet_send_seen, &zero);

	return sent && *sent && (__s64)(now - *sent) < PACKET_SEND_WINDOW_NS;
}

static __always_inline __u32 sender_generation(__u16 port)
{
	const __u32 key = port;
	const struct port_sender *slot = bpf_map_lookup_elem(&port_senders, &key);

	return slot ? slot->generation : 0;
}

/* The generation of a UDP flow's local port: the source of what leaves, the
 * destination of what comes in; on loopback, where both ends are local, both. */
static __always_inline __u32 flow_generation(const struct __sk_buff *skb, const struct flow_key *key)
{
	if (key->protocol != IP_UDP)
		return 0;
	if (skb->ifindex == LOOPBACK_IFINDEX) {
		const __u32 destination = sender_generation(key->dst_port);

		return sender_generation(key->src_port) ^ (destination << 16 | destination >> 16);
	}
	return sender_generation(skb->pkt_type == PACKET_OUTGOING ? key->src_port : key->dst_port);
}

/* Adds the frame to its flow; false when the table has no room for it. A
 * filter runs with bottom halves off, so nothing else on this CPU touches
 * this CPU's value meanwhile. */
static __always_inline bool add_to_flow(const struct flow_key *key, __u32 length, __u64 now)
{
	struct flow_value *value = bpf_map_lookup_elem(&flows, key);

	if (!value) {
		struct flow_value fresh = {};

		fresh.bytes = length;
		fresh.packets = 1;
		fresh.first_ns = now;
		fresh.last_ns = now;
		fresh.interval_first_ns = now;
		const long err = bpf_map_update_elem(&flows, key, &fresh, BPF_NOEXIST);
		if (!err)
			return true;
		/* Another CPU added it meanwhile: this CPU's share is still empty. */
		if (err == -EEXIST)
			value = bpf_map_lookup_elem(&flows, key);
		if (!value) {
			const __u32 zero = 0;
			__u64 *overflow = bpf_map_lookup_elem(&overflow_frames, &zero);

			if (overflow)
				*overflow += 1;
			return false;
		}
	}
	if (value->packets == 0) {
		value->first_ns = now;
		value->interval_first_ns = now;
	} else if (value->last_ns < drain_epoch_ns) {
		value->interval_first_ns = now;
	}
	value->bytes += length;
	value->packets += 1;
	value->last_ns = now;
	return true;
}

/* 0 keeps the frame from user space (counted here, or never counted);
 * skb->len passes it whole. */
static __always_inline int count_frame(struct __sk_buff *skb, const enum link_mode mode)
{
	struct decoded d = {};
	__u32 ip = 0;
	int network = 0;

	/* libpcap drops a loopback frame on its way out, as it comes back in:
	 * counting it here would count the packet twice. */
	if (skb->pkt_type == PACKET_OUTGOING && skb->ifindex == LOOPBACK_IFINDEX)
		return 0;
	if (mode == LINK_ETHERNET) {
		__u8 type[2];

		/* libpcap puts a stripped tag back, and the decoder counts no tagged frame. */
		if (skb->vlan_present || bpf_skb_load_bytes(skb, 12, type, 2))
			return 0;
		ip = ETHERNET_HEADER;
		if (type[0] == 0x08 && type[1] == 0x00)
			network = 4;
		else if (type[0] == 0x86 && type[1] == 0xDD)
			network = 6;
	} else if (mode == LINK_RAW) {
		__u8 first;

		if (bpf_skb_load_bytes(skb, 0, &first, 1))
			return 0;
		network = first >> 4;
	} else {
		/* libpcap builds the cooked header's protocol from this. */
		const __u16 protocol = bpf_ntohs(skb->protocol);

		if (protocol == 0x0800)
			network = 4;
		else if (protocol == 0x86DD)
			network = 6;
	}
	if (network == 4) {
		if (!decode_ipv4(skb, ip, &d))
			return 0;
	} else if (network == 6) {
		if (!decode_ipv6(skb, ip, &d))
			return 0;
	} else {
		return 0;
	}
	d.key.ifindex = skb->ifindex;

	if (mode == LINK_COOKED_NAMED) {
		const __u8 *counted = bpf_map_lookup_elem(&counted_interfaces, &d.key.ifindex);

		/* User space names the interface, then fills the map. */
		if (!counted)
			return skb->len;
		if (!*counted)
			return 0;
	}
	const __u64 now = bpf_ktime_get_boot_ns();
	if ((mode == LINK_COOKED || mode == LINK_COOKED_NAMED) && seen_on_other_interface(skb, d.key.ifindex, now))
		return 0;
	if (d.role != ROLE_WHOLE)
		lend_fragment_ports(&d, now);
	if (skb->pkt_type == PACKET_OUTGOING && packet_socket_sending(now))
		return skb->len;
	d.key.generation = flow_generation(skb, &d.key);
	if (!add_to_flow(&d.key, d.length, now))
		return skb->len;
	const __u32 zero = 0;
	__u64 *counted = bpf_map_lookup_elem(&counted_frames, &zero);

	if (counted)
		*counted += 1;
	return 0;
}

SEC("socket")
int count_ethernet(struct __sk_buff *skb)
{
	return count_frame(skb, LINK_ETHERNET);
}

SEC("socket")
int count_raw(struct __sk_buff *skb)
{
	return count_frame(skb, LINK_RAW);
}

SEC("socket")
int count_cooked(struct __sk_buff *skb)
{
	return count_frame(skb, LINK_COOKED);
}

SEC("socket")
int count_cooked_named(struct __sk_buff *skb)
{
	return count_frame(skb, LINK_COOKED_NAMED);
}
