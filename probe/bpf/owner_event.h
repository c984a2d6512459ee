#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "base/packet_record.h"

namespace sondrel {

// Why a process was seen with a socket.
enum class SocketCause : std::uint8_t {
    Bind = 1,     // the socket got its local port: bind, a UDP socket's first send, listen
    Connect = 2,  // a TCP connect chose the port, dated before its SYN left
    Listen = 3,
    Accept = 4,   // the accepted socket, in the process that accepted it
    Send = 5,     // first send by this process
    Receive = 6,  // first receive by this process (dated at the call's start where it can be)
};

// A process holds a socket from the event's time on: TCP, UDP or SCTP with a
// local port, a ping socket with its echo identifier as port, or a raw socket
// of a protocol (raw set, no port).
struct SocketClaim {
    SocketCause cause = SocketCause::Bind;
    std::uint8_t protocol = 0;  // 6 TCP, 17 UDP, 132 SCTP, 1/58 ping; a raw socket's any
    std::uint8_t family = 0;    // kFamilyIpv4 or kFamilyIpv6 (the socket's, not the traffic's)
    bool v6Only = false;        // IPV6_V6ONLY set
    bool carriesIpv4 = false;   // false for V6ONLY sockets and those bound to a plain IPv6 address
    bool carriesIpv6 = false;   // false for IPv4 sockets and IPv6 ones bound to an IPv4-mapped address
    // Send and Receive seen by the tracepoint hooks are dated when the call
    // returned: the packets it sent, or the data it took, were captured
    // slightly before the event's time. Every other claim precedes its packets.
    bool datedAfterCall = false;
    std::uint16_t localPort = 0;   // host order
    std::uint16_t remotePort = 0;  // host order; 0 when not connected
    // The IPv4 address the socket is bound to, network order as in PacketRecord
    // (also for an IPv6 socket on an IPv4-mapped address); 0 when any.
    std::uint32_t localIpv4 = 0;
    std::uint32_t remoteIpv4 = 0;
    Ipv6Address localIpv6{};  // IPv6 sockets only
    Ipv6Address remoteIpv6{};
    std::uint64_t inode = 0;  // the socket's inode, as /proc/net/* and /proc/<pid>/fd name it
    std::uint32_t networkNamespace = 0;  // inode of the socket's network namespace
    bool raw = false;
};

// The process wrote a frame through a packet socket of the probes' namespace.
struct PacketSendEvent {
    std::uint32_t interfaceIndex = 0;  // 0: not known
    std::uint32_t length = 0;
};

// A process replaced its image. `path` is the executable as /proc/<pid>/exe
// names it (for a script, its interpreter); `filename` is what the exec call
// was given (for a script, the script).
struct ExecEvent {
    std::string path;  // empty when it could not be resolved to the root
    std::string filename;
    std::uint32_t oldTid = 0;  // the thread that called exec, when not the leader
};

// The event's process made a new process (threads are not reported).
struct ForkEvent {
    std::uint32_t childTgid = 0;
};

// The last thread of the event's process left; its sockets close right after.
struct ExitEvent {};

struct OwnerEvent {
    std::uint64_t kernelTimeNs = 0;  // on the clock the probes use (BpfOwnerEvents::clock())
    std::int64_t timeNs = 0;         // the same moment in nanoseconds since the epoch (set by poll())
    std::uint32_t tgid = 0;          // process id
    std::uint32_t tid = 0;           // thread id
    std::string comm;                // the kernel's short task name, at most 15 bytes
    std::variant<SocketClaim, ExecEvent, ForkEvent, ExitEvent, PacketSendEvent> detail;
};

enum class OwnerRecordStatus {
    Ok,
    TooShort,      // fewer bytes than its header or its kind's fixed part say
    UnknownKind,
    SizeMismatch,  // its declared size does not fit its kind
    BadField,      // a value the probes never write (cause, protocol, family)
    BadText,       // a string or path component without its end, or out of bounds
};

// Turns one ring-buffer (or perf-buffer) record into an event. Bytes after the
// record's declared size are ignored (perf buffers pad to 8 bytes). Never
// reads outside `record`; `event` is only meaningful when Ok is returned.
OwnerRecordStatus parseOwnerRecord(std::span<const std::byte> record, OwnerEvent& event);

}  // namespace sondrel
