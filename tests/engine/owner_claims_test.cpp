#include "engine/owners/owner_claims.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "probe/discovery/claim_tracker.h"

namespace sondrel {
namespace {

constexpr std::int64_t kBeginning = OwnerClaims::kBeginning;
constexpr std::uint8_t kBoth = kCarriesIpv4 | kCarriesIpv6;

std::u16string ownerAt(const OwnerClaims& claims, std::uint8_t family, std::uint16_t protocol, std::uint16_t port,
                       std::int64_t time) {
    return *claims.lookupOwner(OwnerQuery{family, protocol, port, time}).text;
}

// Who gets a packet, by its protocol, family, port and capture time.
TEST(OwnerClaims, CreditsTheOwnerOfThePortAtThePacketsTime) {
    OwnerClaims claims;
    claims.add(std::vector<OwnerClaim>{
        {kBeginning, 6, 5000, kCarriesIpv4, false, "/bin/old"},
        {100, 6, 5000, kCarriesIpv4, false, "/bin/new"},  // the port taken over at 100
        {kBeginning, 17, 5000, kCarriesIpv4, false, "/bin/udp"},
        {kBeginning, 17, 5555, kCarriesIpv6, false, "/bin/v6only"},
        {kBeginning, 6, 8080, kBoth, false, "/bin/dual"},
        {50, 6, 8080, kBoth, true, ""},  // a live socket whose owner cannot be read
        {200, 17, 7000, kCarriesIpv4, false, "/bin/late"},
    });
    const struct {
        const char* name;
        std::uint8_t family;
        std::uint16_t protocol;
        std::uint16_t port;
        std::int64_t time;
        std::u16string owner;
    } rows[] = {
        {"before the change: the old owner", 4, 6, 5000, 99, u"/bin/old"},
        {"at the change: the new owner", 4, 6, 5000, 100, u"/bin/new"},
        {"long after, socket gone: still the last owner", 4, 6, 5000, 1'000'000, u"/bin/new"},
        {"no time stamp: the latest owner", 4, 6, 5000, 0, u"/bin/new"},
        {"udp on the same number is another owner", 4, 17, 5000, 150, u"/bin/udp"},
        {"a V6ONLY socket names ipv6 traffic", 6, 17, 5555, 10, u"/bin/v6only"},
        {"a V6ONLY socket does not name ipv4 traffic", 4, 17, 5555, 10, u"UDP protocol"},
        {"dual-stack socket, ipv4", 4, 6, 8080, 10, u"/bin/dual"},
        {"dual-stack socket, ipv6", 6, 6, 8080, 10, u"/bin/dual"},
        {"unreadable owner returns the port to the protocol", 4, 6, 8080, 60, u"TCP protocol"},
        {"older than every claim: the earliest", 4, 17, 7000, 5, u"/bin/late"},
        {"never claimed", 4, 6, 1, 10, u"TCP protocol"},
        {"other protocols by name", 4, 1, 5000, 10, u"ICMP protocol"},
        {"ICMPv6 by its own name", 6, 58, 0, 10, u"ICMPv6 protocol"},
    };
    for (const auto& row : rows) EXPECT_EQ(ownerAt(claims, row.family, row.protocol, row.port, row.time), row.owner) << row.name;
    EXPECT_FALSE(claims.lookupOwner(OwnerQuery{4, 6, 5000, 150}).protocolRow);
    EXPECT_TRUE(claims.lookupOwner(OwnerQuery{4, 6, 8080, 60}).protocolRow);
}

OwnerClaim rawClaim(std::uint16_t protocol, std::uint8_t carries, std::uint32_t address, const char* label) {
    OwnerClaim claim{kBeginning, protocol, 0, carries, false, label};
    claim.raw = true;
    std::memcpy(claim.localAddress.data(), &address, 4);
    return claim;
}

// Ping sockets by echo identifier, SCTP by port, raw sockets by protocol and
// address, a container's connection by its whole flow.
TEST(OwnerClaims, EveryKindOfSocketNamesItsOwn) {
    const std::uint32_t bound = IpAddress::fromIpv4(0x0100000A).ipv4();  // 10.0.0.1
    OwnerClaims claims;
    claims.add(std::vector<OwnerClaim>{
        {kBeginning, 1, 777, kCarriesIpv4, false, "/bin/ping"},
        {kBeginning, 58, 778, kCarriesIpv6, false, "/bin/ping6"},
        {kBeginning, 132, 5000, kBoth, false, "/bin/sctpd"},
        {kBeginning, 6, 40000, kCarriesIpv4, false, "/bin/host"},
        rawClaim(253, kCarriesIpv4, 0, "/bin/raw-any"),
        rawClaim(253, kCarriesIpv4, bound, "/bin/raw-bound"),
        rawClaim(1, kCarriesIpv4, 0, "/bin/raw-ping"),
    });
    FlowClaim flow{100, 6, 4, 40000, 80, {}, "/bin/curl (web)"};
    flow.remote = {10, 9, 9, 9};
    claims.addFlows(std::vector<FlowClaim>{flow});
    const IpAddress local = IpAddress::fromIpv4(bound);
    const IpAddress otherLocal = IpAddress::fromIpv4(0x0200000A);
    const IpAddress remote = IpAddress::fromIpv4(0x0909090A);
    const IpAddress elsewhere = IpAddress::fromIpv4(0x0808080A);
    const struct {
        const char* name;
        OwnerQuery query;
        std::u16string owner;
    } rows[] = {
        {"ping socket by identifier", {4, 1, 777, 10}, u"/bin/ping"},
        {"echo at the kernel's end", {4, 1, 0, 10}, u"ICMP protocol"},
        {"echo of no ping socket: the raw one", {4, 1, 999, 10}, u"/bin/raw-ping"},
        {"ICMPv6 ping socket", {6, 58, 778, 10}, u"/bin/ping6"},
        {"ICMPv6 echo of nobody", {6, 58, 5, 10}, u"ICMPv6 protocol"},
        {"SCTP over IPv6", {6, 132, 5000, 10}, u"/bin/sctpd"},
        {"SCTP port of nobody", {4, 132, 5001, 10}, u"SCTP protocol"},
        {"raw socket on the packet's address", {4, 253, 0, 10, 0, &local}, u"/bin/raw-bound"},
        {"raw socket on any address", {4, 253, 0, 10, 0, &otherLocal}, u"/bin/raw-any"},
        {"the container's flow", {4, 6, 40000, 150, 80, &local, &remote}, u"/bin/curl (web)"},
        {"before the flow began: the host's port", {4, 6, 40000, 50, 80, &local, &remote}, u"/bin/host"},
        {"another remote end: the host's port", {4, 6, 40000, 150, 80, &local, &elsewhere}, u"/bin/host"},
    };
    for (const auto& row : rows) EXPECT_EQ(*claims.lookupOwner(row.query).text, row.owner) << row.name;
}

// A frame a program wrote through a packet socket, matched once by interface,
// time and the length written (the packet, the frame, or a padded frame).
TEST(OwnerClaims, PacketSocketFramesGoToTheirWriter) {
    OwnerClaims claims;
    claims.addPacketSends("/bin/inject", std::vector<PacketSend>{
                                             {1'000'000, 3, 56}, {1'000'000, 3, 60}, {1'000'000, 0, 100}, {2'000'000, 3, 200}});
    const auto record = [](std::uint32_t length, std::uint32_t interfaceIndex, std::int64_t time) {
        PacketRecord r;
        r.length = length;
        r.interfaceIndex = interfaceIndex;
        r.timeNs = time;
        return r;
    };
    const struct {
        const char* name;
        PacketRecord record;
        bool injected;
    } rows[] = {
        {"another interface", record(42, 4, 1'500'000), false},
        {"a raw frame: packet plus its Ethernet header", record(42, 3, 1'500'000), true},
        {"a short frame padded by the program", record(30, 3, 1'600'000), true},
        {"used up", record(42, 3, 1'500'000), false},
        {"interface not known", record(100, 7, 1'700'000), true},
        {"captured long after it was written", record(186, 3, 900'000'000), false},
    };
    for (const auto& row : rows) {
        const OwnerLabel sender = claims.takePacketSender(row.record);
        EXPECT_EQ(sender.text != nullptr && *sender.text == u"/bin/inject", row.injected) << row.name;
    }
}

TEST(OwnerClaims, AClaimThatArrivesLateGoesWhereItsTimePutsIt) {
    OwnerClaims claims;
    claims.add(std::vector<OwnerClaim>{{kBeginning, 17, 9, kCarriesIpv4, false, "/a"},
                                             {300, 17, 9, kCarriesIpv4, false, "/c"},
                                             {200, 17, 9, kCarriesIpv4, false, "/b"}});
    EXPECT_EQ(ownerAt(claims, 4, 17, 9, 150), u"/a");
    EXPECT_EQ(ownerAt(claims, 4, 17, 9, 250), u"/b");
    EXPECT_EQ(ownerAt(claims, 4, 17, 9, 350), u"/c");
}

TEST(OwnerClaims, PruningForgetsOnlyWhatNoWaitingPacketCanAsk) {
    OwnerClaims claims;
    claims.add(std::vector<OwnerClaim>{{kBeginning, 6, 1, kCarriesIpv4, false, "/a"},
                                             {100, 6, 1, kCarriesIpv4, false, "/b"},
                                             {200, 6, 1, kCarriesIpv4, false, "/c"}});
    claims.prune(150);
    EXPECT_EQ(ownerAt(claims, 4, 6, 1, 160), u"/b");
    EXPECT_EQ(ownerAt(claims, 4, 6, 1, 250), u"/c");
    claims.prune(10'000);
    EXPECT_EQ(ownerAt(claims, 4, 6, 1, 160), u"/c");
}

// What passes and events report becomes claims with the right start.
TEST(ClaimTracker, ClaimsStartWhereTheEvidencePutsThem) {
    ClaimTracker tracker;
    const std::u16string a = u"/bin/a", b = u"/bin/b";
    std::vector<OwnerClaim> out;
    std::optional<std::int64_t> started;
    const ProcessStartTime startTime = [&](int) { return started; };

    tracker.observePass(std::vector<SeenSocket>{{17, 53, kCarriesIpv4, 10, &a}}, 1000, startTime, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].sinceNs, kBeginning) << "the first owner of a port reaches back";
    out.clear();
    tracker.observePass(std::vector<SeenSocket>{{17, 53, kCarriesIpv4, 10, &a}}, 2000, startTime, out);
    EXPECT_TRUE(out.empty()) << "the same owner again claims nothing";

    started = 2500;
    tracker.observePass(std::vector<SeenSocket>{{17, 53, kCarriesIpv4, 11, &b}}, 3000, startTime, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].sinceNs, 2500) << "not before the new owner started";
    out.clear();

    started = 100;  // a long-running process that took the port over
    tracker.observePass(std::vector<SeenSocket>{{17, 53, kCarriesIpv4, 12, &a}}, 4000, startTime, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].sinceNs, 3000) << "not before the old owner was last seen";
    out.clear();

    tracker.observeEvent(SeenSocket{17, 53, kCarriesIpv4, 13, &b}, 4500, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].sinceNs, 4500) << "an event is the moment itself";
    out.clear();
    tracker.observePass(std::vector<SeenSocket>{{17, 53, kCarriesIpv4, 12, &a}}, 4400, startTime, out);
    EXPECT_TRUE(out.empty()) << "a pass older than the event does not undo it";

    tracker.observePass(std::vector<SeenSocket>{{6, 53, kBoth, 0, nullptr}}, 5000, startTime, out);
    ASSERT_EQ(out.size(), 2u) << "one claim per family";
    EXPECT_TRUE(out[0].unreadable && out[1].unreadable);
    EXPECT_EQ(out[0].protocol, 6);
}

// Each kind of socket comes out as the claim the window keys it by.
TEST(ClaimTracker, EachKindOfSocketKeepsItsKey) {
    ClaimTracker tracker;
    const std::u16string ping = u"/bin/ping", web = u"/bin/web", raw = u"/bin/raw";
    SeenSocket rawSocket{253, 0, kCarriesIpv6, 12, &raw};
    rawSocket.raw = true;
    rawSocket.localAddress[15] = 1;
    std::vector<OwnerClaim> out;
    tracker.observePass(std::vector<SeenSocket>{{1, 80, kCarriesIpv4, 10, &ping},
                                                {58, 80, kCarriesIpv6, 10, &ping},
                                                {6, 80, kCarriesIpv4, 11, &web},
                                                {132, 80, kCarriesIpv4, 11, &web},
                                                rawSocket},
                        1000, {}, out);
    ASSERT_EQ(out.size(), 5u) << "an echo identifier, a TCP and an SCTP port of one number are three owners";
    const struct {
        std::uint16_t protocol;
        std::uint16_t port;
        std::uint8_t carries;
        bool raw;
    } expected[] = {{6, 80, kCarriesIpv4, false}, {132, 80, kCarriesIpv4, false}, {1, 80, kCarriesIpv4, false},
                    {58, 80, kCarriesIpv6, false}, {253, 0, kCarriesIpv6, true}};
    for (const auto& want : expected) {
        const auto found = std::find_if(out.begin(), out.end(), [&](const OwnerClaim& c) {
            return c.protocol == want.protocol && c.localPort == want.port && c.carries == want.carries && c.raw == want.raw;
        });
        EXPECT_NE(found, out.end()) << "protocol " << want.protocol;
    }
    EXPECT_EQ(out.back().localAddress, rawSocket.localAddress);
    out.clear();
    tracker.observeEvent(rawSocket, 2000, out);
    EXPECT_TRUE(out.empty()) << "the same raw socket again claims nothing";
}

// Seen again without a holder, the socket its owner was seen holding stays
// the owner's (the owner is on its way out); another socket without a
// readable holder takes the port back to the protocol label.
TEST(ClaimTracker, AnOwnersOwnSocketWithoutAHolderKeepsItsOwner) {
    ClaimTracker tracker;
    const std::u16string a = u"/bin/a";
    std::vector<OwnerClaim> out;
    tracker.observePass(std::vector<SeenSocket>{{17, 53, kCarriesIpv4, 10, &a, 7}}, 1000, {}, out);
    out.clear();
    tracker.observePass(std::vector<SeenSocket>{{17, 53, kCarriesIpv4, 0, nullptr, 7}}, 2000, {}, out);
    EXPECT_TRUE(out.empty());
    tracker.observePass(std::vector<SeenSocket>{{17, 53, kCarriesIpv4, 0, nullptr, 8}}, 3000, {}, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].unreadable);
    EXPECT_EQ(out[0].sinceNs, 2000);
}

TEST(ClaimTracker, TheLastSocketOnAPortInTableOrderWins) {
    ClaimTracker tracker;
    const std::u16string a = u"/bin/a", b = u"/bin/b";
    std::vector<OwnerClaim> out;
    tracker.observePass(std::vector<SeenSocket>{{6, 80, kCarriesIpv4, 1, &a}, {6, 80, kCarriesIpv4, 2, &b}}, 1, {}, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].label, "/bin/b");
}

// A tunnel's port is the tunnel's on both families while it lasts, whatever
// passes and events see there; then it is released as a closed socket is.
TEST(ClaimTracker, ATunnelHoldsItsPortUntilItGoes) {
    ClaimTracker tracker;
    const std::u16string ip = u"/usr/bin/ip", b = u"/bin/b";
    const std::vector<TunnelPort> tunnels{{4789, u"vx0 tunnel"}};
    constexpr std::int64_t kAnyTime = std::numeric_limits<std::int64_t>::min();
    std::vector<OwnerClaim> out;
    tracker.observePass(std::vector<SeenSocket>{{17, 4789, kCarriesIpv4, 5, &b, 3}}, 1000, {}, out);
    out.clear();

    EXPECT_FALSE(tracker.observeTunnels(tunnels, 2000, 1500, out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].label, "vx0 tunnel");
    EXPECT_EQ(out[0].protocol, 17);
    EXPECT_EQ(out[0].carries | out[1].carries, kBoth);
    EXPECT_EQ(out[0].sinceNs, 1500) << "not before the kernel opened its socket";
    EXPECT_TRUE(out[0].tunnel && out[1].tunnel);
    // The window: the tunnel's port answers for packets sent to it from ports without an owner.
    OwnerClaims window;
    window.add(out);
    window.add(std::vector<OwnerClaim>{{0, 17, 53, kBoth, false, "/usr/sbin/dnsd"}});
    EXPECT_EQ(*window.tunnelAt(OwnerQuery{4, 17, 4789, 2000}).text, u"vx0 tunnel");
    EXPECT_EQ(*window.tunnelAt(OwnerQuery{6, 17, 4789, 2000}).text, u"vx0 tunnel");
    EXPECT_EQ(window.tunnelAt(OwnerQuery{4, 17, 53, 2000}).text, nullptr) << "a program's port";
    EXPECT_EQ(window.tunnelAt(OwnerQuery{4, 6, 4789, 2000}).text, nullptr) << "TCP";
    out.clear();

    tracker.observePass(std::vector<SeenSocket>{{17, 4789, kBoth, 0, nullptr, 9}}, 3000, {}, out);
    tracker.observeEvent(SeenSocket{17, 4789, kCarriesIpv4, 6, &ip}, 3500, out);
    tracker.observeTunnels(tunnels, 4000, kAnyTime, out);
    EXPECT_TRUE(out.empty()) << "neither its ownerless socket nor the process that configured it";

    EXPECT_TRUE(tracker.observeTunnels({}, 5000, kAnyTime, out));
    tracker.observePass(std::vector<SeenSocket>{{17, 4789, kBoth, 0, nullptr, 9}}, 6000, {}, out);
    EXPECT_TRUE(out.empty()) << "its socket on the way out keeps the claim";
    tracker.observePass(std::vector<SeenSocket>{{17, 4789, kCarriesIpv4, 7, &b, 11}}, 7000, {}, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].label, "/bin/b");
    EXPECT_EQ(out[0].sinceNs, 6000);
}

}  // namespace
}  // namespace sondrel
