/* The maps the owner-event probes write and the flow counter reads. Both
 * objects declare them from here; the flow counter's loader then puts the
 * owner probes' maps in place of its own (bpf_map__reuse_fd). */
#pragma once

#include "flow_record.h"

/* When a program last wrote through a packet socket: the flow counter
 * passes outgoing frames to user space meanwhile, so the capture thread can
 * pair them with these sends. */
struct {
	__uint(type, BPF_MAP_TYPE_ARRAY);
	__uint(max_entries, 1);
	__type(key, __u32);
	__type(value, __u64);
} packet_send_seen SEC(".maps");

/* Each UDP port's last sender and its generation, which the flow counter
 * puts into a UDP flow's key. */
struct {
	__uint(type, BPF_MAP_TYPE_ARRAY);
	__uint(max_entries, FLOW_COUNTER_PORTS);
	__type(key, __u32);
	__type(value, struct port_sender);
} port_senders SEC(".maps");
