/* The few kernel types the owner-events probes read, instead of a full
 * vmlinux.h. Only the fields used are declared: preserve_access_index makes
 * clang emit CO-RE relocations for every access, and libbpf resolves them
 * against the running kernel's BTF by field name, so the layout, order and
 * nesting (anonymous unions included) here need not match any kernel. */
#pragma once

typedef signed char __s8;
typedef unsigned char __u8;
typedef short __s16;
typedef unsigned short __u16;
typedef int __s32;
typedef unsigned int __u32;
typedef long long __s64;
typedef unsigned long long __u64;
typedef __u16 __be16;
typedef __u32 __be32;
typedef __u32 __wsum;
typedef _Bool bool;
#define true 1
#define false 0

/* uapi constants (include/uapi/linux/bpf.h, socket.h, in.h, tcp_states.h) */
enum {
	BPF_MAP_TYPE_ARRAY = 2,
	BPF_MAP_TYPE_PERF_EVENT_ARRAY = 4,
	BPF_MAP_TYPE_PERCPU_ARRAY = 6,
	BPF_MAP_TYPE_LRU_HASH = 9,
	BPF_MAP_TYPE_SK_STORAGE = 24,
	BPF_MAP_TYPE_RINGBUF = 27,
};
enum { BPF_ANY = 0 };
#define BPF_F_NO_PREALLOC (1U << 0)
#define BPF_SK_STORAGE_GET_F_CREATE (1ULL << 0)
#define BPF_F_CURRENT_CPU 0xffffffffULL
#define AF_INET 2
#define AF_INET6 10
#define AF_PACKET 17
#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define SOCK_RAW 3
#define SOCK_SEQPACKET 5
#define IPPROTO_ICMP 1
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17
#define IPPROTO_ICMPV6 58
#define IPPROTO_SCTP 132
#define TCP_SYN_SENT 2
#define TCP_LISTEN 10
#define TCP_TIME_WAIT 6
#define TCP_NEW_SYN_RECV 12

#define __kernel_type __attribute__((preserve_access_index))

struct in6_addr {
	__u8 s6_addr[16];
};

struct ns_common {
	unsigned int inum;
} __kernel_type;

struct net {
	struct ns_common ns;
} __kernel_type;

typedef struct {
	struct net *net;
} possible_net_t;

struct sock_common {
	__be32 skc_daddr;
	__be32 skc_rcv_saddr;
	__be16 skc_dport;
	__u16 skc_num;
	unsigned short skc_family;
	volatile unsigned char skc_state;
	unsigned char skc_ipv6only : 1;
	possible_net_t skc_net;
	struct in6_addr skc_v6_daddr;
	struct in6_addr skc_v6_rcv_saddr;
} __kernel_type;

struct inode {
	unsigned long i_ino;
} __kernel_type;

struct dentry;
struct vfsmount {
	struct dentry *mnt_root;
} __kernel_type;

struct path {
	struct vfsmount *mnt;
	struct dentry *dentry;
} __kernel_type;

struct file {
	struct path f_path;
	struct inode *f_inode;
} __kernel_type;

struct socket {
	struct file *file;
	struct sock *sk;
} __kernel_type;

struct sock {
	struct sock_common __sk_common;
	__u16 sk_type;
	__u16 sk_protocol;
	struct socket *sk_socket;
} __kernel_type;

struct sk_buff {
	struct sock *sk;
} __kernel_type;

struct qstr {
	__u32 len;
	const unsigned char *name;
} __kernel_type;

struct dentry {
	struct dentry *d_parent;
	struct qstr d_name;
} __kernel_type;

/* fs/mount.h: the mount that embeds a vfsmount */
struct mount {
	struct mount *mnt_parent;
	struct dentry *mnt_mountpoint;
	struct vfsmount mnt;
} __kernel_type;

struct msghdr {
	void *msg_name;
	int msg_namelen;
} __kernel_type;

/* net/packet/internal.h: begins with its struct sock */
struct packet_sock {
	int ifindex;
} __kernel_type;

struct linux_binprm {
	struct file *file;
	const char *filename;
} __kernel_type;

typedef struct {
	int counter;
} atomic_t;

struct signal_struct {
	atomic_t live;
} __kernel_type;

struct task_struct {
	int pid;
	int tgid;
	struct signal_struct *signal;
} __kernel_type;
