/* Records the owner-events probes write into their ring buffer (or perf
 * buffer), as the kernel side lays them out and the reader expects them:
 * fixed widths, native byte order, no implicit padding. */
#pragma once

#ifndef __bpf__
#include <linux/types.h>
#endif

#define OWNER_COMM_LEN 16
/* The exec record's data: the file name the exec call was given, then the
 * executable's path components, leaf first. Component reads start below
 * OWNER_EXEC_PATH_WINDOW and take at most OWNER_EXEC_NAME_CAP bytes each. */
#define OWNER_EXEC_FILENAME_CAP 256
#define OWNER_EXEC_NAME_CAP 256
#define OWNER_EXEC_PATH_WINDOW 2048
#define OWNER_EXEC_DATA_CAP (OWNER_EXEC_FILENAME_CAP + OWNER_EXEC_PATH_WINDOW + OWNER_EXEC_NAME_CAP)

enum owner_record_kind {
	OWNER_RECORD_SOCKET = 1,
	OWNER_RECORD_EXEC = 2,
	OWNER_RECORD_FORK = 3,
	OWNER_RECORD_EXIT = 4,
	OWNER_RECORD_PACKET_SEND = 5,
};

/* What made a socket record: the moment the process was seen with it. */
enum owner_socket_cause {
	OWNER_CAUSE_BIND = 1,    /* got its local port: bind, or implicitly (UDP send, listen) */
	OWNER_CAUSE_CONNECT = 2, /* TCP connect chose the port; time is before the SYN left */
	OWNER_CAUSE_LISTEN = 3,
	OWNER_CAUSE_ACCEPT = 4,  /* the accepted socket, in the accepting process */
	OWNER_CAUSE_SEND = 5,    /* first send by this process */
	OWNER_CAUSE_RECEIVE = 6, /* first receive by this process */
};

struct owner_record_header {
	__u16 kind;
	__u16 size; /* bytes of the whole record */
	__u32 tgid;
	__u32 tid;
	__u32 reserved;
	__u64 time_ns; /* CLOCK_BOOTTIME, or CLOCK_MONOTONIC on kernels before 5.8 */
	char comm[OWNER_COMM_LEN];
};

struct owner_socket_record {
	struct owner_record_header header;
	__u64 inode; /* the socket's inode, as /proc/net and /proc/<pid>/fd name it */
	__u32 netns; /* inode of its network namespace */
	__u8 cause;
	__u8 protocol; /* TCP, UDP, SCTP, ICMP/ICMPv6 of a ping socket, or a raw socket's */
	__u16 family;  /* AF_INET or AF_INET6 */
	__u16 local_port;
	__u16 remote_port; /* host order; 0 when not connected */
	__u8 v6only;
	__u8 dated_after_call; /* stamped when the send or receive returned, after its packets */
	__u8 raw;              /* a SOCK_RAW socket: local_port 0 */
	__u8 reserved;
	__u8 local_addr[16]; /* network order; AF_INET in the first four bytes */
	__u8 remote_addr[16];
};

struct owner_exec_record {
	struct owner_record_header header;
	__u32 old_tid;      /* the thread that called exec, when not the leader */
	__u16 filename_len; /* bytes of data holding the file name, its NUL included */
	__u16 path_len;     /* bytes after it: path components, leaf first, each NUL-ended */
	__u8 path_complete; /* 1 when the components reach the root */
	__u8 reserved[7];
	char data[OWNER_EXEC_DATA_CAP];
};

struct owner_fork_record {
	struct owner_record_header header; /* the parent */
	__u32 child_tgid;
	__u32 reserved;
};

/* A frame written through a packet socket of the probes' own namespace. */
struct owner_packet_send_record {
	struct owner_record_header header;
	__u32 ifindex; /* where it goes; 0 when not known */
	__u32 length;  /* bytes handed over (with the link header for SOCK_RAW) */
};

/* The last thread of a process leaving: its sockets close right after. */
struct owner_exit_record {
	struct owner_record_header header;
};
