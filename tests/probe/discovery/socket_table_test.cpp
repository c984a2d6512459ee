#include "probe/discovery/socket_table.h"

#include "base/owner_claim.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <functional>
#include <string>
#include <vector>

namespace sondrel {

void PrintTo(const SocketRow& row, std::ostream* out) {
    *out << "{" << row.localPort << ", " << row.inode << ", " << int(row.protocol) << ", " << int(row.carries);
    if (row.raw) {
        *out << ", raw";
        for (const std::uint8_t byte : row.localAddress) *out << ' ' << int(byte);
    }
    *out << "}";
}

namespace {

const std::string kTcpHeader =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
const std::string kTcpListen =
    "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 123456 1 "
    "0000000000000000 100 0 0 10 0\n";
const std::string kTcp6Row =
    "   1: 00000000000000000000000001000000:0016 00000000000000000000000000000000:0000 0A 00000000:00000000 "
    "00:00000000 00000000     0        0 777 1 0000000000000000 100 0 0 10 0\n";
const std::string kUdpRow =
    "  512: 3500007F:0035 00000000:0000 07 00000000:00000000 00:00000000 00000000   101        0 20815 2 "
    "0000000000000000 0\n";

const std::string kTcp6Any =
    "   2: 00000000000000000000000000000000:0016 00000000000000000000000000000000:0000 0A 00000000:00000000 "
    "00:00000000 00000000     0        0 778 1 0000000000000000 100 0 0 10 0\n";
const std::string kTcp6Mapped =
    "   3: 0000000000000000FFFF00000100007F:0016 00000000000000000000000000000000:0000 0A 00000000:00000000 "
    "00:00000000 00000000     0        0 779 1 0000000000000000 100 0 0 10 0\n";
constexpr std::uint8_t kV4 = kCarriesIpv4;
constexpr std::uint8_t kV6 = kCarriesIpv6;

struct TableRow {
    const char* name;
    std::string text;
    std::vector<SocketRow> expected;
};

TEST(ParseSocketTable, KeepsWellFormedRowsAndSkipsOddLines) {
    std::string trimmed = kTcpListen;
    trimmed.pop_back();
    const std::string longLine = "   9: 00000000:0050 " + std::string(10 * 1024, 'x') + "\n";
    const std::string longValidLine = kTcpListen.substr(0, kTcpListen.size() - 1) + std::string(10 * 1024, ' ') + "9\n";
    const TableRow rows[] = {
        {"empty text", "", {}},
        {"header only", kTcpHeader, {}},
        {"ipv4 listener", kTcpHeader + kTcpListen, {{8080, 123456, 0, kV4}}},
        {"ipv6 address", kTcp6Row, {{22, 777, 0, kV6}}},
        {"ipv6 any carries both", kTcp6Any, {{22, 778, 0, kV4 | kV6}}},
        {"ipv4-mapped carries ipv4", kTcp6Mapped, {{22, 779, 0, kV4}}},
        {"udp columns", kUdpRow, {{53, 20815, 0, kV4}}},
        {"no trailing newline", kTcpHeader + trimmed, {{8080, 123456, 0, kV4}}},
        {"rows keep table order", kUdpRow + kTcpListen + kTcp6Row,
         {{53, 20815, 0, kV4}, {8080, 123456, 0, kV4}, {22, 777, 0, kV6}}},
        {"time-wait row has inode 0", "   3: 0100007F:1F91 0100007F:C350 06 00000000:00000000 03:00000A28 00000000     0        0 0 3 0000000000000000\n",
         {{8081, 0, 0, kV4}}},
        {"port 0 and port 65535", "0: 00000000:0000 0 0 0 0 0 0 0 5\n1: 00000000:FFFF 0 0 0 0 0 0 0 6\n",
         {{0, 5, 0, kV4}, {65535, 6, 0, kV4}}},
        {"lower-case hex", "0: 0000000a:abcd 0 0 0 0 0 0 0 5\n", {{0xABCD, 5, 0, kV4}}},
        {"address neither 8 nor 32 digits", "0: 0:0016 0 0 0 0 0 0 0 5\n", {}},
        {"address with letters beyond hex", "0: 0000000G:0016 0 0 0 0 0 0 0 5\n", {}},
        {"too few fields", "   4: 00000000:0016 00000000:0000 0A\n" + kUdpRow, {{53, 20815, 0, kV4}}},
        {"exactly nine fields", "0: 00000000:0016 0 0 0 0 0 0 0\n", {}},
        {"non-hex port", "0: 00000000:00ZZ 0 0 0 0 0 0 0 5\n", {}},
        {"five-digit port", "0: 00000000:10000 0 0 0 0 0 0 0 5\n", {}},
        {"empty port", "0: 00000000: 0 0 0 0 0 0 0 5\n", {}},
        {"address without colon", "0: 0100007F1F90 0 0 0 0 0 0 0 5\n", {}},
        {"negative inode", "0: 00000000:0016 0 0 0 0 0 0 0 -5\n", {}},
        {"inode with letters", "0: 00000000:0016 0 0 0 0 0 0 0 12ab\n", {}},
        {"inode beyond 64 bits", "0: 00000000:0016 0 0 0 0 0 0 0 99999999999999999999\n", {}},
        {"slot without colon", "0 00000000:0016 0 0 0 0 0 0 0 5\n", {}},
        {"slot not a number", "x: 00000000:0016 0 0 0 0 0 0 0 5\n", {}},
        {"blank lines", "\n\n" + kUdpRow + "\n", {{53, 20815, 0, kV4}}},
        {"tabs separate fields", "0:\t00000000:0016\t0\t0\t0\t0\t0\t0\t0\t5\n", {{22, 5, 0, kV4}}},
        {"carriage return", "0: 00000000:0016 0 0 0 0 0 0 0 5\r\n", {}},
        {"10 kB garbage line", longLine + kUdpRow, {{53, 20815, 0, kV4}}},
        {"10 kB line of a valid row", longValidLine, {{8080, 123456, 0, kV4}}},
        {"NUL bytes", std::string("0: 00000000:0016\0 0 0 0 0 0 0 0 5\n", 34), {}},
    };
    for (const TableRow& row : rows) {
        EXPECT_EQ(parseSocketTable(row.text), row.expected) << row.name;
    }
}

TEST(AppendSocketTable, AddsAfterEarlierTables) {
    std::vector<SocketRow> rows = parseSocketTable(kTcpListen, 6);
    appendSocketTable(kUdpRow, rows, 17);
    EXPECT_EQ(rows, (std::vector<SocketRow>{{8080, 123456, 6, kV4}, {53, 20815, 17, kV4}}));
}

const std::string kSctpEpsHeader = " ENDPT     SOCK   STY SST HBKT LPORT   UID INODE LADDRS\n";
const std::string kSctpAssocsHeader =
    " ASSOC     SOCK   STY SST ST HBKT ASSOC-ID TX_QUEUE RX_QUEUE UID INODE LPORT RPORT LADDRS <-> RADDRS HBINT INS "
    "OUTS MAXRT T1X T2X RTXC wmema wmemq sndbuf rcvbuf\n";

std::string sctpEndpoint(const std::string& port, const std::string& addresses) {
    return "0000000000000000 0000000000000000 2   10  29   " + port + "     0 48211 " + addresses + "\n";
}

std::string pingOrRawLine(const std::string& local) {
    return "  130: " + local + " 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 609860 2 "
           "000000000cbfc66a 0\n";
}

using Append = std::function<void(std::string_view, std::vector<SocketRow>&)>;

TEST(AppendOtherTables, ReadsPingRawAndSctpLines) {
    using Rows = std::vector<SocketRow>;
    const Append icmp = [](std::string_view text, Rows& rows) { appendPingTable(text, AF_INET, rows); };
    const Append icmp6 = [](std::string_view text, Rows& rows) { appendPingTable(text, AF_INET6, rows); };
    const Append raw = [](std::string_view text, Rows& rows) { appendRawTable(text, AF_INET, rows); };
    const Append raw6 = [](std::string_view text, Rows& rows) { appendRawTable(text, AF_INET6, rows); };
    const Append sctp = appendSctpTable;
    const std::string v6Any = "00000000000000000000000000000000";
    const std::string v6Loopback = "00000000000000000000000001000000";
    const Ipv6Address loopback4 = {127, 0, 0, 1};
    const Ipv6Address loopback6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const std::string assoc =
        "0000000000000000 0000000000000000 2   3   3  0       7        0        0    1000  4242 5000   6000  *10.0.0.1 "
        "10.0.0.2 <-> *2001:0db8:0000:0000:0000:0000:0000:0009 \t   30000    10    10\n";
    const struct {
        const char* name;
        Append append;
        std::string text;
        std::vector<SocketRow> expected;
    } cases[] = {
        {"ping socket: echo identifier as port", icmp, kTcpHeader + pingOrRawLine("0100007F:04D2"),
         {{1234, 609860, 1, kV4}}},
        {"icmp6 bound to :: carries ipv6 only", icmp6, pingOrRawLine(v6Any + ":0007"), {{7, 609860, 58, kV6}}},
        {"ipv6 width in the icmp table", icmp, pingOrRawLine(v6Any + ":0007"), {}},
        {"raw socket bound to loopback", raw, pingOrRawLine("0100007F:0011"), {{0, 609860, 17, kV4, true, loopback4}}},
        {"raw6 bound to ::1", raw6, pingOrRawLine(v6Loopback + ":003A"), {{0, 609860, 58, kV6, true, loopback6}}},
        {"raw6 unbound, protocol 255", raw6, pingOrRawLine(v6Any + ":00FF"), {{0, 609860, 255, kV6, true, {}}}},
        {"raw protocol beyond 255", raw, pingOrRawLine("00000000:0100"), {}},
        {"sctp endpoint on two ipv4 addresses", sctp, kSctpEpsHeader + sctpEndpoint("36412", "10.0.0.7 192.168.1.20 "),
         {{36412, 48211, 132, kV4}}},
        {"sctp endpoint on the ipv6 wildcard", sctp,
         kSctpEpsHeader + sctpEndpoint("9899", "0000:0000:0000:0000:0000:0000:0000:0000"),
         {{9899, 48211, 132, kV4 | kV6}}},
        {"sctp endpoint on a mapped address", sctp,
         kSctpEpsHeader + sctpEndpoint("9899", "0000:0000:0000:0000:0000:ffff:0a00:0001"), {{9899, 48211, 132, kV4}}},
        {"association: its columns, local addresses only", sctp, kSctpAssocsHeader + assoc, {{5000, 4242, 132, kV4}}},
        {"sctp lines without their header", sctp, sctpEndpoint("9899", "10.0.0.1"), {}},
        {"sctp header naming LADDRS before INODE", sctp,
         " ENDPT SOCK STY SST HBKT LPORT UID LADDRS INODE\n" + sctpEndpoint("9899", "10.0.0.1"), {}},
        {"odd sctp lines skipped", sctp,
         kSctpEpsHeader + sctpEndpoint("70000", "10.0.0.1") + sctpEndpoint("9899", "") + sctpEndpoint("99", "garbage") +
             sctpEndpoint("x", "10.0.0.1") + "0000000000000000 0000000000000000 2   10\n" +
             sctpEndpoint("80", "*10.0.0.1 2001:0db8::1 trailing ::1"),
         {{80, 48211, 132, kV4 | kV6}}},
    };
    for (const auto& row : cases) {
        std::vector<SocketRow> rows;
        row.append(row.text, rows);
        EXPECT_EQ(rows, row.expected) << row.name;
    }
}

}  // namespace
}  // namespace sondrel
