#include "probe/discovery/socket_diag.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/owner_claim.h"

namespace sondrel {
namespace {

using Bytes = std::vector<std::byte>;

void appendRaw(Bytes& bytes, const void* data, std::size_t size) {
    const std::size_t at = bytes.size();
    bytes.resize(at + size);
    std::memcpy(bytes.data() + at, data, size);
}

// `attributes` follow the record as the kernel appends them (INET_DIAG_SKV6ONLY and others).
Bytes socketRecord(std::uint16_t port, std::uint32_t inode, std::uint8_t family = AF_INET,
                   std::uint16_t type = SOCK_DIAG_BY_FAMILY, const std::uint8_t* local = nullptr,
                   const Bytes& attributes = {}) {
    nlmsghdr header{};
    header.nlmsg_len = std::uint32_t(NLMSG_LENGTH(sizeof(inet_diag_msg)) + attributes.size());
    header.nlmsg_type = type;
    header.nlmsg_flags = NLM_F_MULTI;
    inet_diag_msg message{};
    message.idiag_family = family;
    message.id.idiag_sport = htons(port);
    message.id.idiag_dport = htons(1);
    message.idiag_inode = inode;
    if (local != nullptr) std::memcpy(message.id.idiag_src, local, 16);
    Bytes bytes;
    appendRaw(bytes, &header, sizeof header);
    appendRaw(bytes, &message, sizeof message);
    bytes.insert(bytes.end(), attributes.begin(), attributes.end());
    bytes.resize(NLMSG_ALIGN(bytes.size()));
    return bytes;
}

Bytes attribute(std::uint16_t type, std::uint8_t value, std::uint16_t length = RTA_LENGTH(1)) {
    rtattr header{length, type};
    Bytes bytes;
    appendRaw(bytes, &header, sizeof header);
    bytes.push_back(std::byte{value});
    bytes.resize(RTA_ALIGN(bytes.size()));
    return bytes;
}

constexpr std::uint8_t kV4 = kCarriesIpv4;
constexpr std::uint8_t kV6 = kCarriesIpv6;

Bytes controlRecord(std::uint16_t type, std::uint32_t length = NLMSG_LENGTH(sizeof(int))) {
    nlmsghdr header{};
    header.nlmsg_len = length;
    header.nlmsg_type = type;
    Bytes bytes;
    appendRaw(bytes, &header, sizeof header);
    bytes.resize(std::max<std::size_t>(bytes.size(), NLMSG_ALIGN(length)), std::byte{0});
    return bytes;
}

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(AppendSocketDiagMessages, ReadsPortAndInodeUntilDoneOrFailure) {
    Bytes cutShort = socketRecord(80, 7);
    cutShort.resize(cutShort.size() - 8);
    Bytes shortRecord = socketRecord(80, 7);
    const std::uint32_t tooShort = NLMSG_LENGTH(8);
    std::memcpy(shortRecord.data(), &tooShort, sizeof tooShort);
    const struct {
        const char* name;
        Bytes replies;
        DiagChunkStatus status;
        std::vector<SocketRow> rows;
    } cases[] = {
        {"empty batch", {}, DiagChunkStatus::More, {}},
        {"two sockets, more to come", joined({socketRecord(8080, 100), socketRecord(53, 200)}), DiagChunkStatus::More,
         {{8080, 100, 0, kV4}, {53, 200, 0, kV4}}},
        {"last batch", joined({socketRecord(22, 1), controlRecord(NLMSG_DONE)}), DiagChunkStatus::Done, {{22, 1, 0, kV4}}},
        {"error reply", joined({socketRecord(22, 1), controlRecord(NLMSG_ERROR)}), DiagChunkStatus::Failed,
         {{22, 1, 0, kV4}}},
        {"record longer than the batch", cutShort, DiagChunkStatus::Failed, {}},
        {"record too short for a socket", shortRecord, DiagChunkStatus::Failed, {}},
        {"length below header size", controlRecord(SOCK_DIAG_BY_FAMILY, 4), DiagChunkStatus::Failed, {}},
        {"unknown type skipped", joined({controlRecord(NLMSG_NOOP), socketRecord(65535, 9)}), DiagChunkStatus::More,
         {{65535, 9, 0, kV4}}},
        {"trailing bytes below a header", joined({socketRecord(1, 2), Bytes(4)}), DiagChunkStatus::More,
         {{1, 2, 0, kV4}}},
    };
    for (const auto& row : cases) {
        std::vector<SocketRow> rows;
        EXPECT_EQ(appendSocketDiagMessages(row.replies, rows), row.status) << row.name;
        EXPECT_EQ(rows, row.rows) << row.name;
    }
}

// The older request form answers with its own record type and mixes both
// families in the kernel's hash order.
TEST(AppendSocketDiagMessages, SendsIpv6RecordsToTheirOwnRowsWhenAsked) {
    const Bytes replies = joined({socketRecord(80, 1, AF_INET, TCPDIAG_GETSOCK), socketRecord(443, 2, AF_INET6, TCPDIAG_GETSOCK),
                                  socketRecord(22, 3, AF_INET, TCPDIAG_GETSOCK), socketRecord(8080, 4, AF_INET6),
                                  controlRecord(NLMSG_DONE)});
    const struct {
        const char* name;
        bool split;
        std::vector<SocketRow> rows;
        std::vector<SocketRow> rowsV6;
    } cases[] = {
        {"split", true, {{80, 1, 0, kV4}, {22, 3, 0, kV4}}, {{443, 2, 0, kV4 | kV6}, {8080, 4, 0, kV4 | kV6}}},
        {"one list", false, {{80, 1, 0, kV4}, {443, 2, 0, kV4 | kV6}, {22, 3, 0, kV4}, {8080, 4, 0, kV4 | kV6}}, {}},
    };
    for (const auto& row : cases) {
        std::vector<SocketRow> rows;
        std::vector<SocketRow> rowsV6;
        EXPECT_EQ(appendSocketDiagMessages(replies, rows, row.split ? &rowsV6 : nullptr), DiagChunkStatus::Done) << row.name;
        EXPECT_EQ(rows, row.rows) << row.name;
        EXPECT_EQ(rowsV6, row.rowsV6) << row.name;
    }
}

// What an IPv6 socket can carry follows from its bound address and IPV6_V6ONLY.
TEST(AppendSocketDiagMessages, TellsWhichFamiliesASocketCarries) {
    const std::uint8_t any[16] = {};
    const std::uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 0, 2, 1};
    const std::uint8_t global[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const struct {
        const char* name;
        Bytes record;
        std::uint8_t carries;
    } cases[] = {
        {"ipv4 socket", socketRecord(1, 1, AF_INET, SOCK_DIAG_BY_FAMILY, any), kV4},
        {"ipv6 on ::", socketRecord(1, 1, AF_INET6, SOCK_DIAG_BY_FAMILY, any, attribute(INET_DIAG_SKV6ONLY, 0)), kV4 | kV6},
        {"ipv6 on :: with V6ONLY", socketRecord(1, 1, AF_INET6, SOCK_DIAG_BY_FAMILY, any, attribute(INET_DIAG_SKV6ONLY, 1)),
         kV6},
        {"V6ONLY after another attribute",
         socketRecord(1, 1, AF_INET6, SOCK_DIAG_BY_FAMILY, any, joined({attribute(INET_DIAG_TOS, 7), attribute(INET_DIAG_SKV6ONLY, 1)})),
         kV6},
        {"attribute longer than the record is ignored",
         socketRecord(1, 1, AF_INET6, SOCK_DIAG_BY_FAMILY, any, attribute(INET_DIAG_SKV6ONLY, 1, 200)), kV4 | kV6},
        {"ipv4-mapped address", socketRecord(1, 1, AF_INET6, SOCK_DIAG_BY_FAMILY, mapped), kV4},
        {"global ipv6 address", socketRecord(1, 1, AF_INET6, SOCK_DIAG_BY_FAMILY, global), kV6},
    };
    for (const auto& row : cases) {
        std::vector<SocketRow> rows;
        appendSocketDiagMessages(row.record, rows, nullptr, 17);
        ASSERT_EQ(rows.size(), 1u) << row.name;
        EXPECT_EQ(rows[0].carries, row.carries) << row.name;
        EXPECT_EQ(rows[0].protocol, 17) << row.name;
    }
}

}  // namespace
}  // namespace sondrel
