/* Kernel side of the owner events: tells user space, from the owning
 * process's own context, which process holds which TCP/UDP socket and what
 * each process executes, so even processes that live a few milliseconds are
 * named. Which programs load is decided by the loader (owner_events.cpp)
 * after probing the kernel. */
#include "kernel_types.bpf.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "flow_record.h"
#include "owner_event_record.h"
#include "shared_maps.bpf.h"

char LICENSE[] SEC("license") = "Dual BSD/GPL";

/* Set by the loader before load; the verifier treats them as constants, so
 * the branch not taken is never checked against this kernel. */
const volatile __u32 netns_filter = 0; /* 0: sockets of every network namespace */
const volatile __u32 own_netns = 0;    /* the loader's: packet-socket frames are told of there only */
const volatile bool use_ringbuf = true;
const volatile bool use_boot_clock = true;
const volatile bool use_sk_storage = true;

/* Records that found the buffer full; user space reads it through the
 * memory-mapped .bss, without any privilege. */
__u64 lost_records = 0;

/* A process that stops and resumes using a socket that another one used in
 * between is named again at most this often, so a socket shared by several
 * busy processes cannot cost one record per packet. */
#define REPORT_AGAIN_NS 1000000000ULL
#define PATH_STEPS 48
#define SOCKET_ENTRIES 16384

/* The per-packet check: the last process seen with a socket, stored in the
 * socket itself (Linux 5.11 lets tracing programs use socket storage), so
 * the check hashes nothing and the mark dies with the socket. */
struct last_user {
	__u64 inode; /* the LRU fallback's way to tell a socket from a later one at its address */
	__u32 tgid;
	__u32 reserved;
};

struct {
	__uint(type, BPF_MAP_TYPE_SK_STORAGE);
	__uint(map_flags, BPF_F_NO_PREALLOC);
	__type(key, int);
	__type(value, struct last_user);
} socket_users SEC(".maps");

/* The same, keyed by the socket's address, for kernels without socket
 * storage in tracing programs. */
struct {
	__uint(type, BPF_MAP_TYPE_LRU_HASH);
	__uint(max_entries, SOCKET_ENTRIES);
	__type(key, __u64);
	__type(value, struct last_user);
} last_users SEC(".maps");

struct user_key {
	__u64 sk;
	__u32 tgid;
	__u32 reserved;
};

struct user_seen {
	__u64 inode;
	__u64 reported_ns;
	__u16 port;
	__u16 reserved[3];
};

/* What has been reported for each (socket, process) pair. */
struct {
	__uint(type, BPF_MAP_TYPE_LRU_HASH);
	__uint(max_entries, SOCKET_ENTRIES);
	__type(key, struct user_key);
	__type(value, struct user_seen);
} reported SEC(".maps");

struct identity {
	__u64 time_ns;
	__u32 tgid;
	__u32 tid;
	char comm[OWNER_COMM_LEN];
};

/* TCP connects seen entering SYN_SENT (before their port is chosen), waiting
 * for the state change that follows; used where connect itself cannot be
 * hooked. */
struct {
	__uint(type, BPF_MAP_TYPE_LRU_HASH);
	__uint(max_entries, 4096);
	__type(key, __u64);
	__type(value, struct identity);
} pending_connects SEC(".maps");

struct {
	__uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
	__uint(max_entries, 1);
	__type(key, __u32);
	__type(value, struct owner_exec_record);
} exec_scratch SEC(".maps");

/* A ring buffer; the loader turns it into a perf event array on kernels
 * before 5.8. */
struct {
	__uint(type, BPF_MAP_TYPE_RINGBUF);
	__uint(max_entries, 256 * 1024);
} events SEC(".maps");

static __always_inline __u64 now_ns(void)
{
	return use_boot_clock ? bpf_ktime_get_boot_ns() : bpf_ktime_get_ns();
}

static __always_inline void submit(void *ctx, void *record, __u64 size)
{
	long err;

	if (use_ringbuf)
		err = bpf_ringbuf_output(&events, record, size, 0);
	else
		err = bpf_perf_event_output(ctx, &events, BPF_F_CURRENT_CPU, record, size);
	if (err)
		__sync_fetch_and_add(&lost_records, 1);
}

static __always_inline void current_identity(struct identity *who)
{
	__u64 id = bpf_get_current_pid_tgid();

	who->time_ns = now_ns();
	who->tgid = id >> 32;
	who->tid = (__u32)id;
	bpf_get_current_comm(who->comm, sizeof(who->comm));
}

static __always_inline void fill_header(struct owner_record_header *header, __u16 kind, __u16 size,
					const struct identity *who)
{
	header->kind = kind;
	header->size = size;
	header->reserved = 0;
	header->tgid = who->tgid;
	header->tid = who->tid;
	header->time_ns = who->time_ns;
	__builtin_memcpy(header->comm, who->comm, sizeof(header->comm));
}

/* Direct loads through BTF pointers: no helper call on the per-packet path. */
static __always_inline __u64 socket_inode(const struct socket *sock)
{
	if (!sock)
		return 0;
	return sock->file->f_inode->i_ino;
}

static __always_inline bool is_inet(const struct sock *sk)
{
	unsigned short family = sk->__sk_common.skc_family;

	return family == AF_INET || family == AF_INET6;
}

enum socket_fill {
	FILL_OK,
	FILL_NOT_OURS, /* never will be: not a kind we key, or another namespace */
	FILL_NO_PORT,  /* not yet */
};

static __always_inline enum socket_fill fill_socket(struct owner_socket_record *rec, struct sock *sk)
{
	__u16 family = BPF_CORE_READ(sk, __sk_common.skc_family);
	__u16 type = BPF_CORE_READ_BITFIELD_PROBED(sk, sk_type);
	__u16 protocol = BPF_CORE_READ_BITFIELD_PROBED(sk, sk_protocol);

	if (family != AF_INET && family != AF_INET6)
		return FILL_NOT_OURS;
	/* A ping socket's port is its echo identifier; a raw socket's is its protocol. */
	bool ping = type == SOCK_DGRAM && protocol == (family == AF_INET ? IPPROTO_ICMP : IPPROTO_ICMPV6);
	bool sctp = protocol == IPPROTO_SCTP && (type == SOCK_STREAM || type == SOCK_SEQPACKET);
	bool raw = type == SOCK_RAW;
	if (!(protocol == IPPROTO_TCP && type == SOCK_STREAM) && !(protocol == IPPROTO_UDP && type == SOCK_DGRAM) &&
	    !ping && !sctp && !raw)
		return FILL_NOT_OURS;
	rec->netns = BPF_CORE_READ(sk, __sk_common.skc_net.net, ns.inum);
	if (netns_filter && rec->netns != netns_filter)
		return FILL_NOT_OURS;
	rec->raw = raw;
	rec->local_port = raw ? 0 : BPF_CORE_READ(sk, __sk_common.skc_num);
	if (!raw && !rec->local_port)
		return FILL_NO_PORT;
	rec->family = family;
	rec->protocol = protocol;
	rec->remote_port = __builtin_bswap16(BPF_CORE_READ(sk, __sk_common.skc_dport));
	if (family == AF_INET) {
		bpf_core_read(rec->local_addr, 4, &sk->__sk_common.skc_rcv_saddr);
		bpf_core_read(rec->remote_addr, 4, &sk->__sk_common.skc_daddr);
	} else {
		rec->v6only = BPF_CORE_READ_BITFIELD_PROBED(sk, __sk_common.skc_ipv6only);
		bpf_core_read(rec->local_addr, 16, &sk->__sk_common.skc_v6_rcv_saddr);
		bpf_core_read(rec->remote_addr, 16, &sk->__sk_common.skc_v6_daddr);
	}
	return FILL_OK;
}

static __always_inline void remember_user(struct sock *sk, __u64 inode, __u32 tgid)
{
	struct last_user user = { .inode = inode, .tgid = tgid };

	if (use_sk_storage) {
		struct last_user *stored = bpf_sk_storage_get(&socket_users, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);

		if (stored)
			*stored = user;
	} else {
		__u64 key = (__u64)sk;

		bpf_map_update_elem(&last_users, &key, &user, BPF_ANY);
	}
}

/* Reports that `who` holds `sk`, unless this pair was reported with the same
 * socket and port less than REPORT_AGAIN_NS ago. */
static __always_inline int report_socket(void *ctx, struct sock *sk, const struct identity *who, __u8 cause,
					 bool after_call)
{
	struct owner_socket_record rec = {};
	__u64 inode = socket_inode(sk->sk_socket);

	switch (fill_socket(&rec, sk)) {
	case FILL_NOT_OURS:
		remember_user(sk, inode, who->tgid);
		return 0;
	case FILL_NO_PORT:
		return 0;
	case FILL_OK:
		break;
	}
	remember_user(sk, inode, who->tgid);

	struct user_key pair = { .sk = (__u64)sk, .tgid = who->tgid };
	struct user_seen *seen = bpf_map_lookup_elem(&reported, &pair);
	if (seen && seen->inode == inode && seen->port == rec.local_port &&
	    who->time_ns - seen->reported_ns < REPORT_AGAIN_NS)
		return 0;

	fill_header(&rec.header, OWNER_RECORD_SOCKET, sizeof(rec), who);
	rec.inode = inode;
	rec.cause = cause;
	rec.dated_after_call = after_call;
	submit(ctx, &rec, sizeof(rec));

	struct user_seen now = { .inode = inode, .reported_ns = who->time_ns, .port = rec.local_port };
	bpf_map_update_elem(&reported, &pair, &now, BPF_ANY);
	return 0;
}

static __always_inline int report_current(void *ctx, struct sock *sk, __u8 cause, bool after_call)
{
	struct identity who;

	if (!sk)
		return 0;
	current_identity(&who);
	return report_socket(ctx, sk, &who, cause, after_call);
}

/* The per-packet hook body: one look-up while the same process keeps using
 * the socket. */
static __always_inline int socket_used(void *ctx, struct sock *sk, __u8 cause, bool after_call)
{
	if (!sk || !is_inet(sk))
		return 0;

	__u32 tgid = bpf_get_current_pid_tgid() >> 32;
	if (use_sk_storage) {
		struct last_user *last = bpf_sk_storage_get(&socket_users, sk, 0, 0);

		if (last && last->tgid == tgid)
			return 0;
	} else {
		__u64 key = (__u64)sk;
		struct last_user *last = bpf_map_lookup_elem(&last_users, &key);

		if (last && last->tgid == tgid && last->inode == socket_inode(sk->sk_socket))
			return 0;
	}
	return report_current(ctx, sk, cause, after_call);
}

/* Port assignment, in the process that binds, connects or first sends. */

SEC("fexit/udp_lib_get_port")
int BPF_PROG(udp_port_taken, struct sock *sk)
{
	return report_current(ctx, sk, OWNER_CAUSE_BIND, false);
}

SEC("fexit/inet_csk_get_port")
int BPF_PROG(tcp_port_taken, struct sock *sk)
{
	return report_current(ctx, sk, OWNER_CAUSE_BIND, false);
}

/* Runs before tcp_connect() sends the SYN, after the port is chosen. */
SEC("fexit/__inet_hash_connect")
int BPF_PROG(tcp_connect_port, void *death_row, struct sock *sk)
{
	(void)death_row;
	return report_current(ctx, sk, OWNER_CAUSE_CONNECT, false);
}

SEC("fexit/inet_accept")
int BPF_PROG(tcp_accepted, struct socket *sock, struct socket *newsock)
{
	(void)sock;
	return report_current(ctx, newsock->sk, OWNER_CAUSE_ACCEPT, false);
}

/* First use by a process. At entry, so a receive is dated before the
 * datagram it waits for arrives. */

SEC("fentry/inet_sendmsg")
int BPF_PROG(inet_send, struct socket *sock)
{
	return socket_used(ctx, sock->sk, OWNER_CAUSE_SEND, false);
}

SEC("fentry/inet6_sendmsg")
int BPF_PROG(inet6_send, struct socket *sock)
{
	return socket_used(ctx, sock->sk, OWNER_CAUSE_SEND, false);
}

SEC("fentry/inet_recvmsg")
int BPF_PROG(inet_receive, struct socket *sock)
{
	return socket_used(ctx, sock->sk, OWNER_CAUSE_RECEIVE, false);
}

SEC("fentry/inet6_recvmsg")
int BPF_PROG(inet6_receive, struct socket *sock)
{
	return socket_used(ctx, sock->sk, OWNER_CAUSE_RECEIVE, false);
}

/* A frame a program writes through a packet socket of this namespace: which
 * interface, how long. */
static __always_inline int packet_sent(void *ctx, struct sock *sk, int ifindex, __u64 len)
{
	struct owner_packet_send_record rec = {};
	struct identity who;

	if (!len || BPF_CORE_READ(sk, __sk_common.skc_net.net, ns.inum) != own_netns)
		return 0;
	/* Else the interface the socket is bound to; 0 for one bound to none. */
	if (!ifindex)
		ifindex = BPF_CORE_READ((struct packet_sock *)sk, ifindex);
	current_identity(&who);
	const __u32 zero = 0;
	__u64 *seen = bpf_map_lookup_elem(&packet_send_seen, &zero);
	if (seen)
		*seen = who.time_ns;
	fill_header(&rec.header, OWNER_RECORD_PACKET_SEND, sizeof(rec), &who);
	rec.ifindex = ifindex;
	rec.length = len > 0xffffffffULL ? 0xffffffffU : (__u32)len;
	submit(ctx, &rec, sizeof(rec));
	return 0;
}

/* The address given to sendto names the interface. */
SEC("fentry/packet_sendmsg")
int BPF_PROG(packet_send, struct socket *sock, struct msghdr *msg, __u64 len)
{
	struct sock *sk = sock->sk;
	int ifindex = 0;

	if (!sk)
		return 0;
	void *name = BPF_CORE_READ(msg, msg_name);
	if (name && BPF_CORE_READ(msg, msg_namelen) >= 8)
		bpf_probe_read_kernel(&ifindex, sizeof(ifindex), name + 4);
	return packet_sent(ctx, sk, ifindex, len);
}

/* Who sends from each UDP port, seen as each datagram is queued to its
 * device, in the sender's context and before any capture socket gets it: a
 * port's next program is told apart from its last one from its first
 * datagram on, though its first send is reported only when the call returns.
 * Senders taking turns within the pause share the port's flows. */
#define SENDER_PAUSE_NS 2000000ULL
#define SENDER_STAMP_NS 100000ULL

SEC("tp_btf/net_dev_queue")
int BPF_PROG(udp_sender, struct sk_buff *skb)
{
	struct sock *sk = skb->sk;

	(void)ctx;
	if (!sk)
		return 0;
	/* Direct loads: this runs for every packet the machine sends. */
	const unsigned short family = sk->__sk_common.skc_family;
	const unsigned char state = sk->__sk_common.skc_state;
	if ((family != AF_INET && family != AF_INET6) || state == TCP_TIME_WAIT || state == TCP_NEW_SYN_RECV ||
	    sk->sk_protocol != IPPROTO_UDP || sk->sk_type != SOCK_DGRAM)
		return 0;
	if (sk->__sk_common.skc_net.net->ns.inum != own_netns)
		return 0;
	const __u32 port = sk->__sk_common.skc_num;
	struct port_sender *slot = bpf_map_lookup_elem(&port_senders, &port);
	if (!slot)
		return 0;
	const __u32 tgid = bpf_get_current_pid_tgid() >> 32;
	const __u64 now = now_ns();
	if (slot->tgid != tgid) {
		if (now - slot->last_ns >= SENDER_PAUSE_NS)
			slot->generation += 1;
		slot->tgid = tgid;
		slot->last_ns = now;
	} else if (now - slot->last_ns >= SENDER_STAMP_NS) {
		/* Stamped at most every 0.1 ms: a busy port's slot is not
		 * written by every CPU for every datagram. */
		slot->last_ns = now;
	}
	return 0;
}

/* Tracepoints for kernels without BPF trampolines (Linux 6.3 and later).
 * They fire when the call returns, so a UDP socket bound by its first send
 * already has its port. */

SEC("tp_btf/sock_send_length")
int BPF_PROG(sock_sent, struct sock *sk, int ret)
{
	/* Every socket's sends pass here, packet sockets' too. */
	if (sk && sk->__sk_common.skc_family == AF_PACKET)
		return ret > 0 ? packet_sent(ctx, sk, 0, ret) : 0;
	return socket_used(ctx, sk, OWNER_CAUSE_SEND, true);
}

SEC("tp_btf/sock_recv_length")
int BPF_PROG(sock_received, struct sock *sk)
{
	return socket_used(ctx, sk, OWNER_CAUSE_RECEIVE, true);
}

/* Listen and connect where they cannot be hooked directly. A connect enters
 * SYN_SENT in the caller's context before its port is chosen; the next state
 * change (often in softirq context) reports it for the caller, dated at
 * SYN_SENT, which is before the SYN left. */
SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(tcp_state_changed, struct sock *sk, int oldstate, int newstate)
{
	__u64 key = (__u64)sk;

	if (newstate == TCP_SYN_SENT) {
		struct identity who;

		current_identity(&who);
		bpf_map_update_elem(&pending_connects, &key, &who, BPF_ANY);
		return 0;
	}
	if (oldstate == TCP_SYN_SENT) {
		struct identity *pending = bpf_map_lookup_elem(&pending_connects, &key);
		struct identity who;

		if (!pending)
			return 0;
		who = *pending;
		bpf_map_delete_elem(&pending_connects, &key);
		return report_socket(ctx, sk, &who, OWNER_CAUSE_CONNECT, false);
	}
	if (newstate == TCP_LISTEN)
		return report_current(ctx, sk, OWNER_CAUSE_LISTEN, false);
	return 0;
}

/* Processes. */

static __always_inline __u32 read_name(struct owner_exec_record *rec, __u32 at, const void *name)
{
	/* Checked on the very register that indexes, or the verifier, which
	 * tracks bounds per register, may see a copy the compiler did not check. */
	barrier_var(at);
	if (at > OWNER_EXEC_DATA_CAP - OWNER_EXEC_NAME_CAP)
		return 0;
	long n = bpf_probe_read_kernel_str(&rec->data[at], OWNER_EXEC_NAME_CAP, name);

	return n > 0 ? n : 0;
}

/* Walks from the executable's dentry up to the root, crossing mounts, like
 * d_path() but leaf first, since a BPF program can only append. The lengths
 * live in the record, not in registers: values read back from a map are not
 * tracked exactly, so the verifier sees every iteration's paths alike and
 * checks the loop in linear time. */
static __always_inline void resolve_path(struct owner_exec_record *rec, struct file *file)
{
	struct dentry *dentry = BPF_CORE_READ(file, f_path.dentry);
	struct vfsmount *vfsmnt = BPF_CORE_READ(file, f_path.mnt);
	struct mount *mnt = (void *)vfsmnt - bpf_core_field_offset(struct mount, mnt);
	struct dentry *mnt_root = BPF_CORE_READ(vfsmnt, mnt_root);

	for (int i = 0; i < PATH_STEPS; i++) {
		if (dentry == mnt_root) {
			struct mount *parent = BPF_CORE_READ(mnt, mnt_parent);

			if (parent == mnt) {
				rec->path_complete = 1;
				return;
			}
			dentry = BPF_CORE_READ(mnt, mnt_mountpoint);
			mnt = parent;
			mnt_root = BPF_CORE_READ(mnt, mnt.mnt_root);
			continue;
		}
		struct dentry *up = BPF_CORE_READ(dentry, d_parent);
		if (up == dentry || rec->path_len >= OWNER_EXEC_PATH_WINDOW)
			return;
		__u32 n = read_name(rec, rec->filename_len + rec->path_len, BPF_CORE_READ(dentry, d_name.name));
		if (n < 2)
			return;
		rec->path_len += n;
		dentry = up;
	}
}

SEC("tp_btf/sched_process_exec")
int BPF_PROG(process_exec, struct task_struct *task, int old_pid, struct linux_binprm *bprm)
{
	__u32 zero = 0;
	struct owner_exec_record *rec = bpf_map_lookup_elem(&exec_scratch, &zero);
	struct identity who;

	(void)task;
	if (!rec)
		return 0;
	current_identity(&who);
	rec->old_tid = old_pid;
	rec->path_complete = 0;
	rec->path_len = 0;
	__builtin_memset(rec->reserved, 0, sizeof(rec->reserved));
	rec->filename_len = read_name(rec, 0, BPF_CORE_READ(bprm, filename));
	resolve_path(rec, BPF_CORE_READ(bprm, file));

	__u32 size = __builtin_offsetof(struct owner_exec_record, data) + rec->filename_len + rec->path_len;
	fill_header(&rec->header, OWNER_RECORD_EXEC, size, &who);
	barrier_var(size);
	if (size <= sizeof(*rec))
		submit(ctx, rec, size);
	return 0;
}

SEC("tp_btf/sched_process_fork")
int BPF_PROG(process_fork, struct task_struct *parent, struct task_struct *child)
{
	struct owner_fork_record rec = {};
	struct identity who;

	(void)parent;
	/* New threads share the process; only new processes matter. */
	if (child->pid != child->tgid)
		return 0;
	current_identity(&who);
	fill_header(&rec.header, OWNER_RECORD_FORK, sizeof(rec), &who);
	rec.child_tgid = child->tgid;
	submit(ctx, &rec, sizeof(rec));
	return 0;
}

/* Fires before the exiting thread's files are closed; `live` reaches zero
 * when the last thread of the process leaves. */
SEC("tp_btf/sched_process_exit")
int BPF_PROG(process_exit, struct task_struct *task)
{
	struct owner_exit_record rec = {};
	struct identity who;

	if (task->signal->live.counter != 0)
		return 0;
	current_identity(&who);
	fill_header(&rec.header, OWNER_RECORD_EXIT, sizeof(rec), &who);
	submit(ctx, &rec, sizeof(rec));
	return 0;
}
