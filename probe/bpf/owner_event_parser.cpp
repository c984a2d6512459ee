#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "probe/bpf/owner_event.h"
#include "probe/bpf/owner_event_record.h"

namespace sondrel {

namespace {

template <typename T>
T readRecord(std::span<const std::byte> bytes) {
    T value;
    std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

std::string_view upToNul(const char* text, std::size_t capacity) {
    return {text, static_cast<std::size_t>(std::find(text, text + capacity, '\0') - text)};
}

bool isMappedIpv4(const Ipv6Address& address) {
    static constexpr std::uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::equal(std::begin(prefix), std::end(prefix), address.begin());
}

bool isAny(const Ipv6Address& address) {
    return std::all_of(address.begin(), address.end(), [](std::uint8_t b) { return b == 0; });
}

std::uint32_t lastFour(const Ipv6Address& address) {
    std::uint32_t value;
    std::memcpy(&value, address.data() + 12, sizeof value);
    return value;
}

OwnerRecordStatus parseSocket(const owner_socket_record& raw, SocketClaim& claim) {
    if (raw.cause < OWNER_CAUSE_BIND || raw.cause > OWNER_CAUSE_RECEIVE) return OwnerRecordStatus::BadField;
    if (raw.family != AF_INET && raw.family != AF_INET6) return OwnerRecordStatus::BadField;
    const int ping = raw.family == AF_INET ? int(IPPROTO_ICMP) : int(IPPROTO_ICMPV6);
    const bool keyed = raw.protocol == IPPROTO_TCP || raw.protocol == IPPROTO_UDP || raw.protocol == IPPROTO_SCTP ||
                       raw.protocol == ping;
    if (raw.raw > 1 || (raw.raw == 0 && !keyed) || (raw.raw == 1 && raw.local_port != 0))
        return OwnerRecordStatus::BadField;

    claim.cause = static_cast<SocketCause>(raw.cause);
    claim.protocol = raw.protocol;
    claim.localPort = raw.local_port;
    claim.remotePort = raw.remote_port;
    claim.inode = raw.inode;
    claim.networkNamespace = raw.netns;
    claim.datedAfterCall = raw.dated_after_call != 0;
    claim.raw = raw.raw == 1;
    if (raw.family == AF_INET) {
        claim.family = kFamilyIpv4;
        std::memcpy(&claim.localIpv4, raw.local_addr, 4);
        std::memcpy(&claim.remoteIpv4, raw.remote_addr, 4);
        claim.carriesIpv4 = true;
        return OwnerRecordStatus::Ok;
    }
    claim.family = kFamilyIpv6;
    claim.v6Only = raw.v6only != 0;
    std::memcpy(claim.localIpv6.data(), raw.local_addr, 16);
    std::memcpy(claim.remoteIpv6.data(), raw.remote_addr, 16);
    const bool mapped = isMappedIpv4(claim.localIpv6);
    // An IPv6 socket takes IPv4 traffic only when dual-stack and bound to the
    // any address or an IPv4-mapped one; on a mapped address it takes no IPv6.
    // Raw and ICMPv6 sockets of IPv6 never see IPv4.
    const bool ipv6Only = claim.raw || raw.protocol == IPPROTO_ICMPV6;
    claim.carriesIpv4 = !ipv6Only && !claim.v6Only && (mapped || isAny(claim.localIpv6));
    claim.carriesIpv6 = ipv6Only || !mapped;
    if (mapped) claim.localIpv4 = lastFour(claim.localIpv6);
    if (isMappedIpv4(claim.remoteIpv6)) claim.remoteIpv4 = lastFour(claim.remoteIpv6);
    return OwnerRecordStatus::Ok;
}

// data: "<filename>\0<leaf>\0<dir>\0...<top dir>\0", as the probe appends them.
OwnerRecordStatus parseExec(const owner_exec_record& raw, std::span<const std::byte> data, ExecEvent& exec) {
    const auto* text = reinterpret_cast<const char*>(data.data());
    // Length 0: the probe could not read the name.
    const std::size_t filenameLength = raw.filename_len;
    if (filenameLength > OWNER_EXEC_FILENAME_CAP) return OwnerRecordStatus::BadText;
    const auto filename = upToNul(text, filenameLength);
    if (filenameLength > 0 && filename.size() != filenameLength - 1) return OwnerRecordStatus::BadText;
    exec.filename = filename;
    exec.oldTid = raw.old_tid;
    if (!raw.path_complete) return OwnerRecordStatus::Ok;

    std::vector<std::string_view> components;
    std::size_t at = filenameLength;
    const std::size_t end = filenameLength + raw.path_len;
    while (at < end) {
        const auto component = upToNul(text + at, end - at);
        if (component.empty() || at + component.size() == end || component.find('/') != std::string_view::npos) {
            return OwnerRecordStatus::BadText;
        }
        components.push_back(component);
        at += component.size() + 1;
    }
    exec.path.clear();
    for (auto it = components.rbegin(); it != components.rend(); ++it) {
        exec.path += '/';
        exec.path += *it;
    }
    if (exec.path.empty()) exec.path = "/";
    return OwnerRecordStatus::Ok;
}

}  // namespace

// Every record: owner_record_header{kind, size, tgid, tid, reserved, time_ns, comm[16]},
// then the kind's fields (owner_event_record.h), e.g. for a UDP send:
// {1, 96, 4242, 4242, 0, 81234567890, "python3"} {inode 91234, netns 4026531840, cause 5, 17, AF_INET, 40001, ...}
OwnerRecordStatus parseOwnerRecord(std::span<const std::byte> record, OwnerEvent& event) {
    if (record.size() < sizeof(owner_record_header)) return OwnerRecordStatus::TooShort;
    const auto header = readRecord<owner_record_header>(record);
    if (header.size > record.size()) return OwnerRecordStatus::TooShort;
    record = record.first(header.size);

    event.kernelTimeNs = header.time_ns;
    event.timeNs = 0;
    event.tgid = header.tgid;
    event.tid = header.tid;
    event.comm = upToNul(header.comm, sizeof header.comm);

    switch (header.kind) {
    case OWNER_RECORD_SOCKET: {
        if (record.size() != sizeof(owner_socket_record)) return OwnerRecordStatus::SizeMismatch;
        SocketClaim claim;
        const auto status = parseSocket(readRecord<owner_socket_record>(record), claim);
        event.detail = claim;
        return status;
    }
    case OWNER_RECORD_EXEC: {
        constexpr std::size_t fixed = offsetof(owner_exec_record, data);
        if (record.size() < fixed) return OwnerRecordStatus::SizeMismatch;
        owner_exec_record raw;
        std::memcpy(&raw, record.data(), fixed);
        if (fixed + raw.filename_len + raw.path_len != record.size()) return OwnerRecordStatus::SizeMismatch;
        ExecEvent exec;
        const auto status = parseExec(raw, record.subspan(fixed), exec);
        event.detail = std::move(exec);
        return status;
    }
    case OWNER_RECORD_FORK: {
        if (record.size() != sizeof(owner_fork_record)) return OwnerRecordStatus::SizeMismatch;
        event.detail = ForkEvent{readRecord<owner_fork_record>(record).child_tgid};
        return OwnerRecordStatus::Ok;
    }
    case OWNER_RECORD_EXIT:
        if (record.size() != sizeof(owner_exit_record)) return OwnerRecordStatus::SizeMismatch;
        event.detail = ExitEvent{};
        return OwnerRecordStatus::Ok;
    case OWNER_RECORD_PACKET_SEND: {
        if (record.size() != sizeof(owner_packet_send_record)) return OwnerRecordStatus::SizeMismatch;
        const auto raw = readRecord<owner_packet_send_record>(record);
        if (raw.length == 0) return OwnerRecordStatus::BadField;
        event.detail = PacketSendEvent{raw.ifindex, raw.length};
        return OwnerRecordStatus::Ok;
    }
    default:
        return OwnerRecordStatus::UnknownKind;
    }
}

}  // namespace sondrel
