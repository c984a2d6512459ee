#include <tuple>

#include <gtest/gtest.h>

#include "engine/accounting.h"
#include "tests/support/account_packet.h"
#include "tests/support/engine_fakes.h"

#include <map>

namespace sondrel {
namespace {

using testing::FakeOwners;
using testing::ip;
using testing::RecordingResolvers;

const std::uint32_t kLocal = ip("192.168.1.10");
const std::uint32_t kRemoteA = ip("203.0.113.5");
const std::uint32_t kRemoteB = ip("198.51.100.77");

struct AccountingFixture : ::testing::Test {
    std::shared_ptr<RecordsState> records = std::make_shared<RecordsState>();
    FakeOwners owners;
    RecordingResolvers resolvers;
    std::atomic<std::uint32_t> localAddress{kLocal};
    LocalAddresses local{localAddress};
    TrafficAccountant accountant{records, owners, resolvers, local};

    void account(const PacketRecord& r) {
        AccountPacket(accountant, r.srcAddr, r.dstAddr, r.length, r.dstPort, r.srcPort, r.protocol);
    }
    const AppTable& table() const { return records->table; }
};

PacketRecord sentTcp(std::uint16_t localPort, std::uint32_t remote, std::uint16_t remotePort, std::uint32_t len) {
    return {kLocal, remote, len, remotePort, localPort, 6};
}
PacketRecord receivedUdp(std::uint16_t localPort, std::uint32_t remote, std::uint16_t remotePort, std::uint32_t len) {
    return {remote, kLocal, len, localPort, remotePort, 17};
}

TEST_F(AccountingFixture, DirectionDecidesCounterLocalPortAndRemote) {
    owners.labels[5000] = u"/usr/bin/app";
    account(sentTcp(5000, kRemoteA, 443, 100));
    account({kRemoteA, kLocal, 60, 5000, 443, 6});
    ASSERT_EQ(table().size(), 1u);
    const AppRecord& app = table().app(0);
    EXPECT_EQ(app.name, u"/usr/bin/app");
    EXPECT_EQ(app.ulBytes, 100u);
    EXPECT_EQ(app.dlBytes, 60u);
    EXPECT_EQ(app.lastRemoteHost, u"203.0.113.5");
    ASSERT_EQ(app.endpoints.size(), 1u);
    const EndpointRecord& e = app.endpoints[0];
    EXPECT_EQ(e.localPort, 5000);
    EXPECT_EQ(e.remotePort, 443);
    EXPECT_EQ(e.ulBytes, 100u);
    EXPECT_EQ(e.dlBytes, 60u);
    EXPECT_EQ(e.remoteIpText, u"203.0.113.5");
    EXPECT_EQ(e.remoteIp, kRemoteA);
    EXPECT_EQ(e.protocolTag, u"TCP:");
    EXPECT_TRUE(e.remoteHostName.empty());
    EXPECT_EQ(resolvers.started, std::vector<std::uint32_t>{kRemoteA});
}

TEST_F(AccountingFixture, PacketsNotToOrFromLocalAddressChangeNothing) {
    account({kRemoteA, kRemoteB, 100, 80, 1234, 6});
    EXPECT_TRUE(table().empty());
    EXPECT_TRUE(resolvers.started.empty());
}

// A packet between two local addresses (loopback, or this machine to itself)
// is the sender's upload on its port and the receiver's download on its port,
// each once; owners unknown on both ends share one protocol row.
TEST_F(AccountingFixture, PacketBetweenLocalAddressesIsSentByOneEndAndReceivedByTheOther) {
    const Ipv6Address local6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    struct Row {
        const char* name;
        std::uint8_t family;
        std::uint16_t protocol;
        bool ownersKnown;
    };
    const Row rows[] = {
        {"IPv4 TCP, both programs known", kFamilyIpv4, 6, true},
        {"IPv6 UDP, both programs known", kFamilyIpv6, 17, true},
        {"IPv4 UDP, no owner on either end", kFamilyIpv4, 17, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        records->table.clear();
        owners.labels.clear();
        if (row.ownersKnown) {
            owners.labels[40000] = u"/usr/bin/client";
            owners.labels[8080] = u"/usr/sbin/server";
        }
        local.setIpv6({local6});
        PacketRecord request{kLocal, kLocal, 120, 8080, 40000, row.protocol};
        if (row.family == kFamilyIpv6) {
            request = PacketRecord{0, 0, 120, 8080, 40000, row.protocol, kFamilyIpv6};
            request.src6 = request.dst6 = local6;
        }
        PacketRecord reply = request;
        reply.length = 1500;
        std::swap(reply.srcPort, reply.dstPort);
        accountant.AccountPacket(request);
        accountant.AccountPacket(reply);

        using Counts = std::pair<std::uint64_t, std::uint64_t>;  // UL, DL
        std::map<std::u16string, Counts> byApp;
        std::map<std::uint16_t, Counts> byPort;
        for (std::size_t i = 0; i < table().size(); ++i) {
            const AppRecord& app = table().app(i);
            byApp[app.name] = {app.ulBytes, app.dlBytes};
            for (const EndpointRecord& e : app.endpoints) byPort[e.localPort] = {e.ulBytes, e.dlBytes};
        }
        const std::u16string unknown = row.protocol == 6 ? u"TCP protocol" : u"UDP protocol";
        const std::map<std::u16string, Counts> expectedApps =
            row.ownersKnown ? std::map<std::u16string, Counts>{{u"/usr/bin/client", {120, 1500}},
                                                               {u"/usr/sbin/server", {1500, 120}}}
                            : std::map<std::u16string, Counts>{{unknown, {1620, 1620}}};
        const std::map<std::uint16_t, Counts> expectedPorts = {{40000, {120, 1500}}, {8080, {1500, 120}}};
        EXPECT_EQ(byApp, expectedApps);
        EXPECT_EQ(byPort, expectedPorts);
    }
}

// The helper marks the local ends by the addresses of every captured
// interface when it forwards a packet; its word stands over the window's own
// addresses. Bytes are summed per interface, and each endpoint row names the
// interface of its last packet.
TEST_F(AccountingFixture, HelperMarkedEndsStandAndBytesAreSummedPerInterface) {
    owners.labels[5000] = u"/usr/bin/app";
    const auto marked = [](PacketRecord record, std::uint8_t ends, std::uint32_t interfaceIndex) {
        record.localEnds = ends;
        record.interfaceIndex = interfaceIndex;
        return record;
    };
    accountant.AccountPacket(marked({kRemoteB, kRemoteA, 100, 80, 5000, 6}, kEndsKnown | kSourceLocal, 3));
    accountant.AccountPacket(marked({kLocal, kRemoteA, 1000, 80, 5000, 6}, kEndsKnown, 3));
    accountant.AccountPacket(marked({kRemoteA, kLocal, 40, 5000, 80, 6}, 0, 7));
    accountant.AccountPacket(marked({kRemoteA, kRemoteB, 20, 5000, 80, 6}, kEndsKnown | kDestinationLocal, 7));

    ASSERT_EQ(table().size(), 1u);
    EXPECT_EQ(table().app(0).ulBytes, 100u);
    EXPECT_EQ(table().app(0).dlBytes, 60u);
    std::vector<std::uint32_t> lastInterface;
    for (const EndpointRecord& e : table().app(0).endpoints) lastInterface.push_back(e.interfaceIndex);
    EXPECT_EQ(lastInterface, std::vector<std::uint32_t>{7});
    std::vector<std::tuple<std::uint32_t, std::uint64_t, std::uint64_t>> perInterface;
    for (const InterfaceBytes& bytes : records->interfaceBytes)
        perInterface.emplace_back(bytes.index, bytes.ulBytes, bytes.dlBytes);
    EXPECT_EQ(perInterface, (std::vector<std::tuple<std::uint32_t, std::uint64_t, std::uint64_t>>{{3, 100, 0}, {7, 0, 60}}));
}

TEST_F(AccountingFixture, EmptyOwnerTextDropsThePacket) {
    owners.labels[7000] = u"";
    account(sentTcp(7000, kRemoteA, 80, 10));
    EXPECT_TRUE(table().empty());
}

TEST_F(AccountingFixture, NamesDifferingOnlyInCaseAreTwoApplications) {
    owners.labels[1] = u"/opt/App";
    owners.labels[2] = u"/opt/app";
    account(sentTcp(1, kRemoteA, 80, 10));
    account(sentTcp(2, kRemoteA, 80, 10));
    ASSERT_EQ(table().size(), 2u);
    EXPECT_EQ(table().app(0).name, u"/opt/App");
    EXPECT_EQ(table().app(1).name, u"/opt/app");
}

TEST_F(AccountingFixture, EndpointIdentityIsLocalPortAndRemoteAddressOnly) {
    owners.labels[4000] = u"/bin/x";
    account(sentTcp(4000, kRemoteA, 80, 10));
    account(sentTcp(4000, kRemoteA, 8080, 20));             // other remote port
    account(receivedUdp(4000, kRemoteA, 53, 30));           // other protocol
    ASSERT_EQ(table().app(0).endpoints.size(), 1u);
    const EndpointRecord& e = table().app(0).endpoints[0];
    EXPECT_EQ(e.remotePort, 80);
    EXPECT_EQ(e.protocolTag, u"TCP:");
    EXPECT_EQ(e.ulBytes, 30u);
    EXPECT_EQ(e.dlBytes, 30u);
    EXPECT_EQ(resolvers.started.size(), 1u);
}

TEST_F(AccountingFixture, NewEndpointsAppendInOrderAndEachStartsAResolver) {
    owners.labels[4000] = u"/bin/x";
    owners.labels[4001] = u"/bin/y";
    account(sentTcp(4000, kRemoteA, 80, 1));
    account(sentTcp(4000, kRemoteB, 80, 1));  // same port, other remote: second row
    account(sentTcp(4001, kRemoteA, 80, 1));  // same remote in another application: its own row
    ASSERT_EQ(table().size(), 2u);
    ASSERT_EQ(table().app(0).endpoints.size(), 2u);
    EXPECT_EQ(table().app(0).endpoints[0].remoteIp, kRemoteA);
    EXPECT_EQ(table().app(0).endpoints[1].remoteIp, kRemoteB);
    EXPECT_EQ(table().app(0).lastRemoteHost, u"198.51.100.77");
    EXPECT_EQ(resolvers.started, (std::vector<std::uint32_t>{kRemoteA, kRemoteB, kRemoteA}));
}

TEST_F(AccountingFixture, LastRemoteHostFollowsAPacketOntoAnExistingRow) {
    owners.labels[4000] = u"/bin/x";
    account(sentTcp(4000, kRemoteA, 80, 1));
    account(sentTcp(4000, kRemoteB, 80, 1));
    account(sentTcp(4000, kRemoteA, 80, 1));  // back to the first row
    EXPECT_EQ(table().app(0).lastRemoteHost, u"203.0.113.5");
}

// Two connections of one program to one server: one row per local port, and
// each packet counts on its own connection's row, however they interleave.
TEST_F(AccountingFixture, ConnectionsFromTwoLocalPortsToOneServerKeepTheirRows) {
    owners.labels[4000] = u"/bin/x";
    owners.labels[4001] = u"/bin/x";
    account(sentTcp(4000, kRemoteA, 80, 1));
    account(sentTcp(4001, kRemoteA, 80, 10));
    account(sentTcp(4000, kRemoteA, 80, 100));
    ASSERT_EQ(table().size(), 1u);
    ASSERT_EQ(table().app(0).endpoints.size(), 2u);
    EXPECT_EQ(table().app(0).endpoints[0].localPort, 4000);
    EXPECT_EQ(table().app(0).endpoints[0].ulBytes, 101u);
    EXPECT_EQ(table().app(0).endpoints[1].localPort, 4001);
    EXPECT_EQ(table().app(0).endpoints[1].ulBytes, 10u);
}

TEST_F(AccountingFixture, OtherProtocolsGetADashTagAndZeroPorts) {
    account({kRemoteA, kLocal, 84, 0, 0, 1});
    ASSERT_EQ(table().size(), 1u);
    EXPECT_EQ(table().app(0).name, u"ICMP protocol");
    EXPECT_EQ(table().app(0).endpoints[0].protocolTag, u"-");
}

TEST_F(AccountingFixture, UnownedPortsCountUnderTheProtocolPseudoApplication) {
    account(sentTcp(6123, kRemoteA, 80, 10));
    account(receivedUdp(6124, kRemoteB, 53, 10));
    ASSERT_EQ(table().size(), 2u);
    EXPECT_EQ(table().app(0).name, u"TCP protocol");
    EXPECT_EQ(table().app(1).name, u"UDP protocol");
}

TEST_F(AccountingFixture, DrainAccountsOldestFirstAndEmptiesTheQueue) {
    PacketQueue queue;
    owners.labels[1] = u"/first";
    owners.labels[2] = u"/second";
    queue.push(sentTcp(2, kRemoteA, 80, 5));
    queue.push(sentTcp(1, kRemoteB, 80, 6));
    queue.push(sentTcp(2, kRemoteB, 80, 7));
    accountant.drainQueue(queue);
    EXPECT_TRUE(queue.records().empty());
    ASSERT_EQ(table().size(), 2u);
    EXPECT_EQ(table().app(0).name, u"/second");
    EXPECT_EQ(table().app(0).ulBytes, 12u);
    EXPECT_EQ(table().app(0).lastRemoteHost, u"198.51.100.77");
    accountant.drainQueue(queue);
    EXPECT_EQ(table().app(0).ulBytes, 12u);
}

TEST_F(AccountingFixture, AfterClearTheNextPacketStartsFreshRecordsAndResolvers) {
    owners.labels[1] = u"/a";
    account(sentTcp(1, kRemoteA, 80, 500));
    records->table.clear();
    account(sentTcp(1, kRemoteA, 80, 7));
    ASSERT_EQ(table().size(), 1u);
    EXPECT_EQ(table().app(0).ulBytes, 7u);
    EXPECT_EQ(table().app(0).endpoints[0].ulBytes, 7u);
    EXPECT_EQ(resolvers.started.size(), 2u);
}

TEST_F(AccountingFixture, CountersAreSixtyFourBitsWide) {
    owners.labels[1] = u"/big";
    for (int i = 0; i < 70000; ++i) account(sentTcp(1, kRemoteA, 80, 65535));
    EXPECT_EQ(table().app(0).ulBytes, 70000ull * 65535ull);
}

TEST_F(AccountingFixture, LocalAddressIsReadAtEveryPacket) {
    owners.labels[1] = u"/a";
    account(sentTcp(1, kRemoteA, 80, 10));
    localAddress = kRemoteB;
    account(sentTcp(1, kRemoteA, 80, 10));  // now foreign
    EXPECT_EQ(table().app(0).ulBytes, 10u);
}

// A packet captured after the owner claims are complete waits one tick for
// the pass that may name its program; at the next tick it is counted anyway.
TEST_F(AccountingFixture, PacketsNewerThanTheClaimsWaitOneTick) {
    PacketQueue queue;
    owners.completeUpTo = 1000;
    const auto at = [](PacketRecord r, std::int64_t time) {
        r.timeNs = time;
        return r;
    };
    queue.push(at(sentTcp(1, kRemoteA, 80, 1), 500));
    queue.push(at(sentTcp(1, kRemoteA, 80, 2), 1500));
    queue.push(at(sentTcp(1, kRemoteA, 80, 4), 800));
    accountant.drainQueue(queue);
    EXPECT_EQ(table().app(0).ulBytes, 1u);
    EXPECT_EQ(queue.records().size(), 2u);
    queue.push(at(sentTcp(1, kRemoteA, 80, 8), 2000));
    accountant.drainQueue(queue);
    EXPECT_EQ(table().app(0).ulBytes, 7u) << "the two kept back are counted, the new one waits";
    EXPECT_EQ(queue.records().size(), 1u);
    owners.completeUpTo = 2000;
    accountant.drainQueue(queue);
    EXPECT_EQ(table().app(0).ulBytes, 15u);
    EXPECT_TRUE(queue.records().empty());
}

// Beyond the bound an application's new endpoints share one "other" row,
// counted in full; the notice is given once.
TEST_F(AccountingFixture, EndpointRowsBeyondTheBoundGoToOneOtherRow) {
    accountant.setMaxEndpointRows(3);
    owners.labels[1] = u"/a";
    owners.labels[2] = u"/b";
    for (std::uint32_t i = 1; i <= 5; ++i) account(sentTcp(1, kRemoteA + (i << 24), 80, i));
    account(sentTcp(1, kRemoteA + (1u << 24), 80, 100));  // an existing row still counts in it
    account(sentTcp(2, kRemoteB, 443, 50));
    ASSERT_EQ(table().app(0).endpoints.size(), 4u);
    const EndpointRecord& other = table().app(0).endpoints[3];
    EXPECT_EQ(other.remoteIpText, u"other");
    EXPECT_EQ(other.protocolTag, u"-");
    EXPECT_EQ(other.ulBytes, 4u + 5u);
    EXPECT_EQ(table().app(0).endpoints[0].ulBytes, 101u);
    EXPECT_EQ(table().app(0).ulBytes, 115u);
    ASSERT_EQ(table().app(1).endpoints.size(), 1u);
    EXPECT_EQ(table().app(1).endpoints[0].remoteIpText, u"other");
    EXPECT_EQ(table().app(1).lastRemoteHost, u"198.51.100.77");
    EXPECT_EQ(resolvers.started.size(), 3u) << "no look-up for the other rows";
    EXPECT_TRUE(accountant.takeOverflowNotice());
    EXPECT_FALSE(accountant.takeOverflowNotice());
}

// IPv6: the direction by the interface's IPv6 addresses, the remote in RFC 5952
// form, rows keyed by the whole address.
TEST_F(AccountingFixture, Ipv6PacketsCountAgainstTheInterfacesAddresses) {
    const auto address = [](std::uint8_t last) {
        Ipv6Address a = {0xfd, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, last};
        return a;
    };
    const auto packet = [](const Ipv6Address& src, const Ipv6Address& dst, std::uint32_t length) {
        PacketRecord r{0, 0, length, 443, 5000, 6};
        r.family = kFamilyIpv6;
        r.src6 = src;
        r.dst6 = dst;
        return r;
    };
    owners.labels[5000] = u"/bin/v6";
    local.setIpv6({address(1)});
    accountant.AccountPacket(packet(address(1), address(2), 100));
    PacketRecord reply = packet(address(2), address(1), 60);
    std::swap(reply.srcPort, reply.dstPort);
    accountant.AccountPacket(reply);
    accountant.AccountPacket(packet(address(3), address(2), 1000));  // between two other hosts
    Ipv6Address mappedRemote = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 1};
    accountant.AccountPacket(packet(address(1), mappedRemote, 7));
    ASSERT_EQ(table().size(), 1u);
    const AppRecord& app = table().app(0);
    EXPECT_EQ(app.ulBytes, 107u);
    EXPECT_EQ(app.dlBytes, 60u);
    ASSERT_EQ(app.endpoints.size(), 2u);
    EXPECT_EQ(app.endpoints[0].remoteIpText, u"fd00::2");
    EXPECT_EQ(app.endpoints[0].remoteIp, 0u);
    EXPECT_EQ(app.endpoints[1].remoteIpText, u"::ffff:192.0.2.1");
    EXPECT_EQ(app.lastRemoteHost, u"::ffff:192.0.2.1");
    AccountPacket(accountant, kLocal, ip("192.0.2.1"), 9, 443, 5000, 6);
    EXPECT_EQ(app.endpoints.size(), 3u) << "an IPv4 remote is not the IPv6 packet's mapped one";
}

// Names by (protocol, port): 131,072 possible applications.
class ManyOwners final : public OwnerLookupService {
public:
    ManyOwners() {
        for (int protocol : {6, 17})
            for (int port = 0; port < 65536; ++port)
                m_labels.push_back(u"/p" + std::u16string(1, char16_t(u'0' + protocol % 10)) + u"/" +
                                   std::u16string(1, char16_t(0x4E00 + port)));
    }
    OwnerLabel lookupOwner(const OwnerQuery& query) const override {
        return {&m_labels[(query.protocol == 17 ? 65536u : 0u) + query.localPort], false};
    }

private:
    std::vector<std::u16string> m_labels;
};

// The accounting against a plain model of the rules, over more applications
// than a 16-bit index can hold: the same rows, in the same order, with the
// same counters and texts.
TEST(AccountingDifferential, MatchesAPlainModelBeyondSixtyFiveThousandApplications) {
    struct ModelEndpoint {
        std::uint16_t localPort, remotePort;
        std::u16string remoteText, tag;
        std::uint64_t ul = 0, dl = 0;
    };
    struct ModelApp {
        std::u16string name, lastRemote;
        std::uint64_t ul = 0, dl = 0;
        std::vector<ModelEndpoint> endpoints;
        std::map<std::pair<std::uint16_t, std::u16string>, std::size_t> byEndpoint;
    };
    std::vector<ModelApp> model;
    std::map<std::u16string, std::size_t> byName;

    auto records = std::make_shared<RecordsState>();
    ManyOwners owners;
    RecordingResolvers resolvers;
    std::atomic<std::uint32_t> localAddress{kLocal};
    LocalAddresses local{localAddress};
    TrafficAccountant accountant{records, owners, resolvers, local};

    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    const auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    for (int i = 0; i < 250'000; ++i) {
        const std::uint16_t protocol = next() % 2 ? 6 : 17;
        const auto localPort = std::uint16_t(next() % 40'000);
        const auto remotePort = std::uint16_t(next() % 4);
        const std::uint32_t remote = htonl(0xC6336400u + std::uint32_t(next() % 3));
        const auto length = std::uint32_t(next() % 1500 + 20);
        const bool sent = next() % 2;
        AccountPacket(accountant, sent ? kLocal : remote, sent ? remote : kLocal, length,
                      sent ? remotePort : localPort, sent ? localPort : remotePort, protocol);

        const std::u16string& name = *owners.lookupOwner(OwnerQuery{4, protocol, localPort, 0}).text;
        auto [it, isNew] = byName.try_emplace(name, model.size());
        if (isNew) model.push_back(ModelApp{name, {}, 0, 0, {}, {}});
        ModelApp& app = model[it->second];
        (sent ? app.ul : app.dl) += length;
        app.lastRemote = FormatIPv4(remote);
        auto [e, newEndpoint] = app.byEndpoint.try_emplace({localPort, app.lastRemote}, app.endpoints.size());
        if (newEndpoint)
            app.endpoints.push_back(ModelEndpoint{localPort, remotePort, app.lastRemote, protocol == 6 ? u"TCP:" : u"UDP:"});
        (sent ? app.endpoints[e->second].ul : app.endpoints[e->second].dl) += length;
    }

    const AppTable& table = records->table;
    ASSERT_GT(model.size(), 65'536u);
    ASSERT_EQ(table.size(), model.size());
    for (std::size_t i = 0; i < model.size(); ++i) {
        const AppRecord& app = table.app(i);
        const ModelApp& expected = model[i];
        ASSERT_EQ(app.name, expected.name) << i;
        ASSERT_EQ(app.ulBytes, expected.ul) << i;
        ASSERT_EQ(app.dlBytes, expected.dl) << i;
        ASSERT_EQ(app.lastRemoteHost, expected.lastRemote) << i;
        ASSERT_EQ(app.endpoints.size(), expected.endpoints.size()) << i;
        for (std::size_t j = 0; j < app.endpoints.size(); ++j) {
            const EndpointRecord& row = app.endpoints[j];
            const ModelEndpoint& want = expected.endpoints[j];
            ASSERT_TRUE(row.localPort == want.localPort && row.remotePort == want.remotePort &&
                        row.remoteIpText == want.remoteText && row.protocolTag == want.tag && row.ulBytes == want.ul &&
                        row.dlBytes == want.dl)
                << "application " << i << " endpoint " << j;
        }
    }
}

}  // namespace
}  // namespace sondrel
