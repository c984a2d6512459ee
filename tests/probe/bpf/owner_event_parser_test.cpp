#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "probe/bpf/owner_event.h"
#include "probe/bpf/owner_event_record.h"

namespace sondrel {
namespace {

using Bytes = std::vector<std::byte>;

template <typename T>
Bytes bytesOf(const T& value, std::size_t size = sizeof(T)) {
    Bytes bytes(size);
    std::memcpy(bytes.data(), &value, std::min(size, sizeof(T)));
    return bytes;
}

owner_record_header header(std::uint16_t kind, std::size_t size) {
    owner_record_header h{};
    h.kind = kind;
    h.size = static_cast<std::uint16_t>(size);
    h.tgid = 4242;
    h.tid = 4243;
    h.time_ns = 81'234'567'890;
    std::memcpy(h.comm, "python3", 8);
    return h;
}

owner_socket_record udpSend() {
    owner_socket_record r{};
    r.header = header(OWNER_RECORD_SOCKET, sizeof r);
    r.inode = 91234;
    r.netns = 4026531840u;
    r.cause = OWNER_CAUSE_SEND;
    r.protocol = IPPROTO_UDP;
    r.family = AF_INET;
    r.local_port = 40001;
    r.remote_port = 53;
    const std::uint8_t local[4] = {127, 0, 0, 1};
    const std::uint8_t remote[4] = {10, 0, 0, 2};
    std::memcpy(r.local_addr, local, 4);
    std::memcpy(r.remote_addr, remote, 4);
    return r;
}

// An exec record whose data holds `filename` then `components` (leaf first),
// each with its NUL, exactly as the probe appends them.
Bytes execRecord(const std::string& filename, const std::vector<std::string>& components, bool complete = true) {
    owner_exec_record r{};
    std::string data = filename + '\0';
    for (const auto& component : components) data += component + '\0';
    std::memcpy(r.data, data.data(), data.size());
    r.filename_len = static_cast<std::uint16_t>(filename.size() + 1);
    r.path_len = static_cast<std::uint16_t>(data.size() - r.filename_len);
    r.path_complete = complete;
    const std::size_t size = offsetof(owner_exec_record, data) + data.size();
    r.header = header(OWNER_RECORD_EXEC, size);
    return bytesOf(r, size);
}

void setSize(Bytes& bytes, std::size_t size) {
    const auto value = static_cast<std::uint16_t>(size);
    std::memcpy(bytes.data() + offsetof(owner_record_header, size), &value, sizeof value);
}

OwnerRecordStatus parse(const Bytes& bytes, OwnerEvent& event) {
    return parseOwnerRecord(bytes, event);
}

struct Case {
    const char* name;
    std::function<Bytes()> record;
    OwnerRecordStatus status;
};

TEST(ParseOwnerRecord, StatusOfEachOddRecord) {
    const std::vector<Case> cases = {
        {"empty", [] { return Bytes{}; }, OwnerRecordStatus::TooShort},
        {"shorter than a header", [] { return bytesOf(udpSend(), sizeof(owner_record_header) - 1); },
         OwnerRecordStatus::TooShort},
        {"declares more bytes than it has",
         [] { return bytesOf(udpSend(), sizeof(owner_socket_record) - 8); }, OwnerRecordStatus::TooShort},
        {"unknown kind",
         [] {
             auto r = udpSend();
             r.header.kind = 9;
             return bytesOf(r);
         },
         OwnerRecordStatus::UnknownKind},
        {"socket record one byte short",
         [] {
             auto bytes = bytesOf(udpSend());
             setSize(bytes, sizeof(owner_socket_record) - 1);
             return bytes;
         },
         OwnerRecordStatus::SizeMismatch},
        {"exit record with a socket's size",
         [] {
             auto r = udpSend();
             r.header.kind = OWNER_RECORD_EXIT;
             return bytesOf(r);
         },
         OwnerRecordStatus::SizeMismatch},
        {"fork record cut to a header",
         [] { return bytesOf(header(OWNER_RECORD_FORK, sizeof(owner_record_header))); },
         OwnerRecordStatus::SizeMismatch},
        {"cause 0",
         [] {
             auto r = udpSend();
             r.cause = 0;
             return bytesOf(r);
         },
         OwnerRecordStatus::BadField},
        {"cause past receive",
         [] {
             auto r = udpSend();
             r.cause = OWNER_CAUSE_RECEIVE + 1;
             return bytesOf(r);
         },
         OwnerRecordStatus::BadField},
        {"ICMPv6 ping on an IPv4 socket", [] {
             auto r = udpSend();
             r.protocol = IPPROTO_ICMPV6;
             return bytesOf(r);
         },
         OwnerRecordStatus::BadField},
        {"raw socket with a port", [] {
             auto r = udpSend();
             r.raw = 1;
             return bytesOf(r);
         },
         OwnerRecordStatus::BadField},
        {"IGMP without being raw", [] {
             auto r = udpSend();
             r.protocol = 2;
             return bytesOf(r);
         },
         OwnerRecordStatus::BadField},
        {"AF_UNIX", [] {
             auto r = udpSend();
             r.family = AF_UNIX;
             return bytesOf(r);
         },
         OwnerRecordStatus::BadField},
        {"exec lengths beyond the record",
         [] {
             auto bytes = execRecord("/bin/true", {"true", "bin", "usr"});
             bytes.pop_back();
             setSize(bytes, bytes.size());
             return bytes;
         },
         OwnerRecordStatus::SizeMismatch},
        {"exec with an empty file name", [] { return execRecord("", {"true"}); }, OwnerRecordStatus::Ok},
        {"exec whose file name could not be read",
         [] {
             owner_exec_record r{};
             std::memcpy(r.data, "true", 5);
             r.path_len = 5;
             r.path_complete = 1;
             const std::size_t size = offsetof(owner_exec_record, data) + 5;
             r.header = header(OWNER_RECORD_EXEC, size);
             return bytesOf(r, size);
         },
         OwnerRecordStatus::Ok},
        {"exec file name without its NUL",
         [] {
             auto bytes = execRecord("/bin/true", {});
             bytes.back() = std::byte{'x'};
             return bytes;
         },
         OwnerRecordStatus::BadText},
        {"exec file name with a NUL inside",
         [] { return execRecord(std::string("/bin\0/true", 10), {"true"}); }, OwnerRecordStatus::BadText},
        {"exec path component without its NUL",
         [] {
             auto bytes = execRecord("/bin/true", {"true", "bin"});
             bytes.back() = std::byte{'n'};
             return bytes;
         },
         OwnerRecordStatus::BadText},
        {"exec empty path component", [] { return execRecord("/bin/true", {"true", "", "usr"}); },
         OwnerRecordStatus::BadText},
        {"exec path component with a slash", [] { return execRecord("/bin/true", {"true", "usr/bin"}); },
         OwnerRecordStatus::BadText},
        {"exec file name longer than the probe reads",
         [] { return execRecord(std::string(OWNER_EXEC_FILENAME_CAP, 'a'), {}); }, OwnerRecordStatus::BadText},
    };
    for (const auto& c : cases) {
        OwnerEvent event;
        EXPECT_EQ(parse(c.record(), event), c.status) << c.name;
    }
}

TEST(ParseOwnerRecord, SocketRecordKeepsEveryField) {
    OwnerEvent event;
    ASSERT_EQ(parse(bytesOf(udpSend()), event), OwnerRecordStatus::Ok);
    EXPECT_EQ(event.tgid, 4242u);
    EXPECT_EQ(event.tid, 4243u);
    EXPECT_EQ(event.kernelTimeNs, 81'234'567'890u);
    EXPECT_EQ(event.comm, "python3");
    const auto& claim = std::get<SocketClaim>(event.detail);
    EXPECT_EQ(claim.cause, SocketCause::Send);
    EXPECT_EQ(claim.protocol, IPPROTO_UDP);
    EXPECT_EQ(claim.family, kFamilyIpv4);
    EXPECT_EQ(claim.localPort, 40001);
    EXPECT_EQ(claim.remotePort, 53);
    EXPECT_EQ(claim.localIpv4, inet_addr("127.0.0.1"));
    EXPECT_EQ(claim.remoteIpv4, inet_addr("10.0.0.2"));
    EXPECT_EQ(claim.inode, 91234u);
    EXPECT_EQ(claim.networkNamespace, 4026531840u);
    EXPECT_TRUE(claim.carriesIpv4);
    EXPECT_FALSE(claim.carriesIpv6);
}

TEST(ParseOwnerRecord, IgnoresPerfBufferPaddingAndCutsUnterminatedNames) {
    auto record = udpSend();
    std::memcpy(record.header.comm, "0123456789abcdef", 16);
    auto bytes = bytesOf(record, sizeof record + 4);
    OwnerEvent event;
    ASSERT_EQ(parse(bytes, event), OwnerRecordStatus::Ok);
    EXPECT_EQ(event.comm, "0123456789abcdef");
}

TEST(ParseOwnerRecord, IPv6SocketsSayWhichTrafficTheyCarry) {
    struct Row {
        const char* name;
        const char* local;
        bool v6only;
        bool ipv4;
        bool ipv6;
        const char* localIpv4;
    };
    const Row rows[] = {
        {"dual-stack on any", "::", false, true, true, "0.0.0.0"},
        {"V6ONLY on any", "::", true, false, true, "0.0.0.0"},
        {"plain IPv6 address", "2001:db8::1", false, false, true, "0.0.0.0"},
        {"loopback", "::1", false, false, true, "0.0.0.0"},
        {"IPv4-mapped address", "::ffff:192.0.2.7", false, true, false, "192.0.2.7"},
    };
    for (const auto& row : rows) {
        auto record = udpSend();
        record.family = AF_INET6;
        record.v6only = row.v6only;
        ASSERT_EQ(inet_pton(AF_INET6, row.local, record.local_addr), 1);
        OwnerEvent event;
        ASSERT_EQ(parse(bytesOf(record), event), OwnerRecordStatus::Ok) << row.name;
        const auto& claim = std::get<SocketClaim>(event.detail);
        EXPECT_EQ(claim.family, kFamilyIpv6) << row.name;
        EXPECT_EQ(claim.carriesIpv4, row.ipv4) << row.name;
        EXPECT_EQ(claim.carriesIpv6, row.ipv6) << row.name;
        EXPECT_EQ(claim.localIpv4, inet_addr(row.localIpv4)) << row.name;
    }
}

TEST(ParseOwnerRecord, ExecPathIsRebuiltRootFirst) {
    struct Row {
        const char* name;
        std::vector<std::string> components;
        bool complete;
        const char* path;
    };
    const Row rows[] = {
        {"three levels", {"true", "bin", "usr"}, true, "/usr/bin/true"},
        {"at the root", {"init"}, true, "/init"},
        {"not resolved to the root", {"true", "bin"}, false, ""},
    };
    for (const auto& row : rows) {
        OwnerEvent event;
        ASSERT_EQ(parse(execRecord("/bin/true", row.components, row.complete), event), OwnerRecordStatus::Ok)
            << row.name;
        const auto& exec = std::get<ExecEvent>(event.detail);
        EXPECT_EQ(exec.path, row.path) << row.name;
        EXPECT_EQ(exec.filename, "/bin/true") << row.name;
    }
}

TEST(ParseOwnerRecord, ForkAndExitRecords) {
    owner_fork_record fork{};
    fork.header = header(OWNER_RECORD_FORK, sizeof fork);
    fork.child_tgid = 5000;
    OwnerEvent event;
    ASSERT_EQ(parse(bytesOf(fork), event), OwnerRecordStatus::Ok);
    EXPECT_EQ(std::get<ForkEvent>(event.detail).childTgid, 5000u);

    owner_exit_record exit{};
    exit.header = header(OWNER_RECORD_EXIT, sizeof exit);
    ASSERT_EQ(parse(bytesOf(exit), event), OwnerRecordStatus::Ok);
    EXPECT_TRUE(std::holds_alternative<ExitEvent>(event.detail));
    EXPECT_EQ(event.tgid, 4242u);
}

}  // namespace
}  // namespace sondrel
