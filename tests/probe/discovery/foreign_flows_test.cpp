#include "probe/discovery/foreign_flows.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sondrel {
namespace {

constexpr std::uint32_t kWeb = 4026532001;
constexpr std::uint32_t kDb = 4026532002;
constexpr std::int64_t kSecond = 1'000'000'000;

Ipv6Address address(const char* text) {
    Ipv6Address bytes{};
    if (inet_pton(AF_INET, text, bytes.data()) != 1) inet_pton(AF_INET6, text, bytes.data());
    return bytes;
}

ForeignSocket socket(std::uint32_t netns, std::uint8_t protocol, const char* local, std::uint16_t localPort,
                     const char* label, std::int64_t sinceNs, const char* remote = "0.0.0.0",
                     std::uint16_t remotePort = 0) {
    ForeignSocket s;
    s.netns = netns;
    s.protocol = protocol;
    s.family = std::string_view(local).find(':') == std::string_view::npos ? kFamilyIpv4 : kFamilyIpv6;
    s.carries = s.family == kFamilyIpv6 ? kCarriesIpv4 | kCarriesIpv6 : kCarriesIpv4;
    s.local = address(local);
    s.localPort = localPort;
    s.remote = address(remote);
    s.remotePort = remotePort;
    s.label = label;
    s.sinceNs = sinceNs;
    return s;
}

// "<orig src> <orig dst> <reply src> <reply dst>", each "a.b.c.d:port".
ConntrackEntry entry(std::uint8_t protocol, const char* origSrc, const char* origDst, const char* replySrc,
                     const char* replyDst) {
    ConntrackEntry e;
    e.protocol = protocol;
    const auto end = [](const char* text, Ipv6Address& where, std::uint16_t& port) {
        const std::string s(text);
        where = address(s.substr(0, s.rfind(':')).c_str());
        port = std::uint16_t(std::stoi(s.substr(s.rfind(':') + 1)));
    };
    end(origSrc, e.origSrc, e.origSrcPort);
    end(origDst, e.origDst, e.origDstPort);
    end(replySrc, e.replySrc, e.replySrcPort);
    end(replyDst, e.replyDst, e.replyDstPort);
    return e;
}

std::vector<std::string> described(const std::vector<FlowClaim>& claims) {
    std::vector<std::string> lines;
    for (const FlowClaim& c : claims) {
        char remote[INET6_ADDRSTRLEN] = {};
        inet_ntop(c.family == kFamilyIpv4 ? AF_INET : AF_INET6, c.remote.data(), remote, sizeof remote);
        lines.push_back(std::to_string(c.protocol) + " " + std::to_string(c.localPort) + " " + remote + ":" +
                        std::to_string(c.remotePort) + " " + c.label + " @" + std::to_string(c.sinceNs));
    }
    return lines;
}

TEST(ForeignFlows, JoinsTranslatedEntriesToTheSocketsOfOtherNamespaces) {
    const struct {
        const char* name;
        std::vector<ForeignSocket> sockets;
        std::vector<ConntrackEntry> entries;
        std::vector<std::string> claims;
    } rows[] = {
        {"outbound, port kept",
         {socket(kWeb, 6, "172.17.0.2", 40000, "curl (web)", 100, "93.184.216.34", 443)},
         {entry(6, "172.17.0.2:40000", "93.184.216.34:443", "93.184.216.34:443", "192.168.1.5:40000")},
         {"6 40000 93.184.216.34:443 curl (web) @100"}},
        {"outbound, port changed",
         {socket(kWeb, 6, "172.17.0.2", 40000, "curl (web)", 100, "93.184.216.34", 443)},
         {entry(6, "172.17.0.2:40000", "93.184.216.34:443", "93.184.216.34:443", "192.168.1.5:61000")},
         {"6 61000 93.184.216.34:443 curl (web) @100"}},
        {"host port forwarded to a dual-stack listener",
         {socket(kWeb, 6, "::", 80, "nginx (web)", 100)},
         {entry(6, "198.51.100.7:5555", "192.168.1.5:8080", "172.17.0.2:80", "198.51.100.7:5555")},
         {"6 8080 198.51.100.7:5555 nginx (web) @100"}},
        {"the host's own connections are not translated",
         {socket(kWeb, 17, "0.0.0.0", 5353, "avahi (web)", 100), socket(kWeb, 6, "0.0.0.0", 80, "nginx (web)", 100)},
         {entry(17, "192.168.1.5:5353", "224.0.0.251:5353", "224.0.0.251:5353", "192.168.1.5:5353"),
          entry(6, "198.51.100.7:5555", "192.168.1.5:80", "192.168.1.5:80", "198.51.100.7:5555")},
         {}},
        {"socket bound to any address, sent from the namespace's",
         {socket(kWeb, 17, "0.0.0.0", 5000, "dig (web)", 100)},
         {entry(17, "172.17.0.2:5000", "8.8.8.8:53", "8.8.8.8:53", "192.168.1.5:5000")},
         {"17 5000 8.8.8.8:53 dig (web) @100"}},
        {"two namespaces listening on one port cannot be told apart",
         {socket(kWeb, 6, "0.0.0.0", 80, "nginx (web)", 100), socket(kDb, 6, "0.0.0.0", 80, "nginx (db)", 200)},
         {entry(6, "198.51.100.7:5555", "192.168.1.5:8081", "172.17.0.3:80", "198.51.100.7:5555")},
         {}},
        {"until an address is seen in one of them",
         {socket(kWeb, 6, "0.0.0.0", 80, "nginx (web)", 100), socket(kDb, 6, "0.0.0.0", 80, "nginx (db)", 200),
          socket(kDb, 6, "172.17.0.3", 45000, "psql (db)", 300, "10.0.0.9", 5432)},
         {entry(6, "198.51.100.7:5555", "192.168.1.5:8081", "172.17.0.3:80", "198.51.100.7:5555"),
          entry(6, "198.51.100.7:5556", "192.168.1.5:8080", "172.17.0.2:80", "198.51.100.7:5556")},
         {"6 8081 198.51.100.7:5555 nginx (db) @200"}},
    };
    for (const auto& row : rows) {
        ForeignFlows flows;
        for (const auto& s : row.sockets) flows.observeSocket(s);
        std::vector<FlowClaim> claims;
        flows.observeConntrack(row.entries, 10 * kSecond, claims);
        EXPECT_EQ(described(claims), row.claims) << row.name;
    }
}

TEST(ForeignFlows, ClaimsEachFlowOnceAndAgainWhenItsOwnerChanges) {
    ForeignFlows flows;
    EXPECT_FALSE(flows.wantsConntrack(0));
    flows.observeSocket(socket(kWeb, 6, "172.17.0.2", 40000, "curl (web)", 100, "93.184.216.34", 443));
    EXPECT_TRUE(flows.wantsConntrack(200));
    const std::vector<ConntrackEntry> table{
        entry(6, "172.17.0.2:40000", "93.184.216.34:443", "93.184.216.34:443", "192.168.1.5:40000")};
    std::vector<FlowClaim> claims;
    flows.observeConntrack(table, kSecond, claims);
    EXPECT_EQ(claims.size(), 1u);
    EXPECT_FALSE(flows.wantsConntrack(kSecond + 1));
    EXPECT_TRUE(flows.wantsConntrack(2 * kSecond));

    flows.observeSocket(socket(kWeb, 6, "172.17.0.2", 40000, "curl (web)", 3 * kSecond, "93.184.216.34", 443));
    flows.observeConntrack(table, 3 * kSecond, claims);
    EXPECT_EQ(claims.size(), 1u) << "the same owner again";

    flows.observeSocket(socket(kWeb, 6, "172.17.0.2", 40000, "wget (web)", 4 * kSecond, "93.184.216.34", 443));
    flows.observeSocket(socket(kWeb, 6, "172.17.0.2", 40000, "curl (web)", 2 * kSecond, "93.184.216.34", 443));
    flows.observeConntrack(table, 5 * kSecond, claims);
    EXPECT_EQ(described(claims).back(), "6 40000 93.184.216.34:443 wget (web) @4000000000");

    flows.observeConntrack({}, 6 * kSecond, claims);
    flows.observeConntrack(table, 7 * kSecond, claims);
    EXPECT_EQ(claims.size(), 3u) << "an entry that came back";

    claims.clear();
    flows.observeConntrack(table, 7 * kSecond + 301 * kSecond, claims);
    flows.observeConntrack({}, 7 * kSecond + 302 * kSecond, claims);
    flows.observeConntrack(table, 7 * kSecond + 303 * kSecond, claims);
    EXPECT_EQ(claims.size(), 0u) << "a socket idle for five minutes is forgotten";
    EXPECT_EQ(flows.socketCount(), 0u);

    // Without the table, a connected socket's own ends, once.
    flows.observeSocket(socket(kWeb, 17, "::ffff:172.17.0.2", 5000, "dig (web)", 400 * kSecond, "::ffff:8.8.8.8", 53));
    flows.observeSocket(socket(kWeb, 17, "::ffff:172.17.0.2", 5000, "dig (web)", 401 * kSecond, "::ffff:8.8.8.8", 53));
    flows.observeSocket(socket(kWeb, 17, "172.17.0.2", 5001, "nc (web)", 401 * kSecond));
    flows.connectedFlows(402 * kSecond, claims);
    flows.connectedFlows(403 * kSecond, claims);
    EXPECT_EQ(described(claims), std::vector<std::string>{"17 5000 8.8.8.8:53 dig (web) @400000000000"});
}

}  // namespace
}  // namespace sondrel
