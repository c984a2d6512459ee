#include "probe/discovery/owner_table_scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/owner_claim.h"
#include "tests/support/temp_proc_tree.h"

namespace sondrel {
namespace {

using namespace std::string_literals;
using testing::fixturePath;
using testing::TempProcTree;
using Rows = std::vector<std::pair<std::uint16_t, std::u16string>>;

Rows scannedRows(const OwnerTableScanner& scanner) {
    Rows rows;
    for (const OwnedPort& port : scanner.ownedPorts()) rows.emplace_back(port.localPort, scanner.label(port));
    return rows;
}

std::string tableLine(int slot, std::uint16_t port, std::uint64_t inode) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "%4d: 0100007F:%04X 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 %llu 1 "
                  "0000000000000000 100 0 0 10 0\n",
                  slot, port, static_cast<unsigned long long>(inode));
    return text;
}

// The checked-in tree: a web server (200, binary replaced on disk) and its
// child (310) sharing socket 3001, a resolver without a readable exe (420)
// holding UDP 53 and UDP 80, a process that rewrote its title (530), one with
// empty cmdline and parentheses in comm (640), a socket of another user (9999,
// held by nobody visible), a TIME_WAIT row and two malformed rows.
TEST(OwnerTableScanner, LabelsRowsOfTheFixtureTreeInTableOrder) {
    OwnerTableScanner scanner(fixturePath("proc/basic"));
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    const Rows expected = {
        {80, u"/opt/web/bin/httpd"},    // tcp listener of 200
        {80, u"/opt/web/bin/httpd"},    // tcp connection of 200
        {22, u"kworker (odd)"},         // 640: empty cmdline, comm with parentheses
        {9090, u"/opt/web/bin/httpd"},  // shared by 200 and 310: the lower id owns it
        {8080, u"/opt/web/bin/httpd"},  // tcp6 of 310; 200's pipe:[1003] is no socket
        {53, u"dnsd"},                  // udp, exe unreadable: file name
        {80, u"dnsd"},                  // udp after tcp: last row for port 80
        {5353, u"worker: idle"},        // udp6, cmdline without NUL
    };
    EXPECT_EQ(scannedRows(scanner), expected);
}

// Ping, raw and SCTP sockets come after udp6 in the order their tables are
// read; icmp6 and raw are missing, as on a kernel without them.
TEST(OwnerTableScanner, LabelsPingRawAndSctpSockets) {
    using Seen = std::tuple<int, std::uint16_t, int, bool, Ipv6Address, std::u16string>;
    OwnerTableScanner scanner(fixturePath("proc/other_protocols"));
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    std::vector<Seen> seen;
    for (const OwnedPort& port : scanner.ownedPorts()) {
        seen.emplace_back(port.protocol, port.localPort, port.carries, port.raw, port.localAddress,
                          scanner.label(port));
    }
    const Ipv6Address loopback6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const std::vector<Seen> expected = {
        {132, 9899, kCarriesIpv4 | kCarriesIpv6, false, {}, u"/usr/bin/sctpd"},  // endpoint on ::
        {132, 9899, kCarriesIpv4, false, {}, u"/usr/bin/sctpd"},                 // its association from 10.0.0.5
        {1, 1234, kCarriesIpv4, false, {}, u"/usr/bin/pinger"},
        {58, 0, kCarriesIpv6, true, loopback6, u"/usr/sbin/ndpd"},
    };
    EXPECT_EQ(seen, expected);
}

TEST(OwnerTableScanner, ReportsWhichTableCannotBeRead) {
    const struct {
        const char* name;
        const char* removed;
        ScanStatus expected;
    } rows[] = {
        {"no tcp", "net/tcp", ScanStatus::TcpTableUnreadable},
        {"no udp", "net/udp", ScanStatus::UdpTableUnreadable},
        {"no tcp6: ipv6 off", "net/tcp6", ScanStatus::Ok},
        {"no udp6: ipv6 off", "net/udp6", ScanStatus::Ok},
        {"tcp is a directory", "net/tcp", ScanStatus::TcpTableUnreadable},
    };
    for (const auto& row : rows) {
        TempProcTree tree("basic");
        tree.remove(row.removed);
        if (std::string(row.name) == "tcp is a directory") tree.writeFile("net/tcp/x", "");
        OwnerTableScanner scanner(tree.root());
        EXPECT_EQ(scanner.scan(), row.expected) << row.name;
        if (row.expected != ScanStatus::Ok) {
            EXPECT_TRUE(scanner.ownedPorts().empty()) << row.name;
        }
    }
}

TEST(OwnerTableScanner, HeaderOnlyTablesGiveNoRows) {
    TempProcTree tree;
    for (const char* table : {"net/tcp", "net/tcp6", "net/udp", "net/udp6"}) {
        tree.writeFile(table, "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n");
    }
    tree.addProcess(5, "a\0"s, "a", "/bin/a");
    tree.addSocketLink(5, 3, 100);
    OwnerTableScanner scanner(tree.root());
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    EXPECT_TRUE(scanner.ownedPorts().empty());
    EXPECT_EQ(scanner.ownerCache().walkCount(), 0u);
}

// A tree with one TCP listener per process, rows in pid order.
class ScannerCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        tree.addProcess(10, "/bin/parent\0"s, "parent", "/bin/parent");
        tree.addProcess(20, "/bin/child\0"s, "child", "/bin/child");
        tree.addProcess(30, "/bin/other\0"s, "other", "/bin/other");
        tree.addSocketLink(10, 3, 1000);
        tree.addSocketLink(20, 3, 2000);
        tree.addSocketLink(30, 3, 3000);
        tables = tableLine(0, 1000, 1000) + tableLine(1, 2000, 2000) + tableLine(2, 3000, 3000);
        writeTables();
    }

    void writeTables() {
        tree.writeFile("net/tcp", tables);
        tree.writeFile("net/udp", "");
    }

    std::u16string labelOfPort(std::uint16_t port) {
        std::u16string label = u"<none>";
        for (const auto& [rowPort, rowLabel] : scannedRows(scanner)) {
            if (rowPort == port) label = rowLabel;
        }
        return label;
    }

    TempProcTree tree;
    std::string tables;
    OwnerTableScanner scanner{tree.root()};
};

TEST_F(ScannerCacheTest, UnchangedTablesDoNotWalkAgain) {
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    EXPECT_EQ(scanner.ownerCache().walkCount(), 1u);
    EXPECT_EQ(labelOfPort(2000), u"/bin/child");
}

TEST_F(ScannerCacheTest, NewSocketWalksOnce) {
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    tree.addSocketLink(30, 4, 3001);
    tables += tableLine(3, 3001, 3001);
    writeTables();
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    EXPECT_EQ(labelOfPort(3001), u"/bin/other");
    EXPECT_EQ(scanner.ownerCache().walkCount(), 2u);
}

TEST_F(ScannerCacheTest, SocketOfExitedParentMovesToChild) {
    tree.addSocketLink(20, 4, 1000);  // inherited through fork
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    ASSERT_EQ(labelOfPort(1000), u"/bin/parent");
    tree.remove("10");
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    EXPECT_EQ(labelOfPort(1000), u"/bin/child");
}

TEST_F(ScannerCacheTest, SocketClosedByLivingOwnerMovesToOtherHolder) {
    tree.addSocketLink(20, 4, 1000);
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    ASSERT_EQ(labelOfPort(1000), u"/bin/parent");
    tree.remove("10/fd/3");
    tree.touchFdTable(10);
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    EXPECT_EQ(labelOfPort(1000), u"/bin/child");
}

TEST_F(ScannerCacheTest, OwnerOpeningOtherFilesDoesNotWalk) {
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    tree.makeLink("10/fd/9", "/var/log/app.log");
    tree.touchFdTable(10);
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    EXPECT_EQ(scanner.ownerCache().walkCount(), 1u);
    EXPECT_EQ(labelOfPort(1000), u"/bin/parent");
}

TEST_F(ScannerCacheTest, ClosedSocketsDoNotWalk) {
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    tree.remove("30");  // exits, its socket leaves the table
    tables = tableLine(0, 1000, 1000) + tableLine(1, 2000, 2000);
    writeTables();
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    EXPECT_EQ(scanner.ownerCache().walkCount(), 1u);
    EXPECT_EQ(labelOfPort(3000), u"<none>");
}

TEST_F(ScannerCacheTest, UnownedSocketIsSkippedWithoutWalkingEveryPass) {
    tables += tableLine(3, 443, 9999);
    writeTables();
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    EXPECT_EQ(labelOfPort(443), u"<none>");
    EXPECT_EQ(scanner.ownerCache().walkCount(), 1u);
}

TEST_F(ScannerCacheTest, ExecInPlaceChangesLabelNextPass) {
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    tree.makeLink("30/exe", "/usr/bin/replacement");
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    EXPECT_EQ(labelOfPort(3000), u"/usr/bin/replacement");
}

TEST_F(ScannerCacheTest, ExitingProcessKeepsItsPathWhileItsSocketsLive) {
    const struct {
        const char* name;
        const char* commAfter;
        std::u16string expected;
    } rows[] = {
        {"exiting: no exe link, no cmdline, comm is the start of the file name", "oth", u"/bin/other"},
        {"pid taken by another program with an unreadable exe", "stranger", u"stranger"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        tree.addProcess(30, "/bin/other\0"s, "other", "/bin/other");
        OwnerTableScanner fresh(tree.root());
        ASSERT_EQ(fresh.scan(), ScanStatus::Ok);
        tree.remove("30/exe");
        tree.writeFile("30/cmdline", "");
        tree.writeFile("30/stat", "30 ("s + row.commAfter + ") R 1 30 30 0 -1 0");
        ASSERT_EQ(fresh.scan(), ScanStatus::Ok);
        std::u16string label = u"<none>";
        for (const auto& [port, rowLabel] : scannedRows(fresh)) {
            if (port == 3000) label = rowLabel;
        }
        EXPECT_EQ(label, row.expected);
    }
}

TEST_F(ScannerCacheTest, UnreadableOrOddFdEntriesArePassedOver) {
    tree.makeLink("30/fd/4", "socket:[oops]");
    tree.makeLink("30/fd/5", "socket:[" + std::string(100, '7') + "]");
    tree.writeFile("30/fd/6", "a plain file, not a link");
    tree.remove("20/fd");  // another user's process: fd table unreadable
    tree.writeFile("40/cmdline", "ghost");  // process without fd directory
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    const Rows expected = {{1000, u"/bin/parent"}, {3000, u"/bin/other"}};
    EXPECT_EQ(scannedRows(scanner), expected);
}

TEST_F(ScannerCacheTest, ProcessGoneBetweenTablesAndLabelNamesNoOwner) {
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    tree.remove("20/exe");
    tree.remove("20/cmdline");
    tree.remove("20/stat");
    ASSERT_EQ(scanner.scan(), ScanStatus::Ok);
    EXPECT_EQ(labelOfPort(2000), u"Process ID# 20");
}

// The worker stores nothing after a scan that matches the one before, so any
// change a scan sees must make it differ.
TEST(OwnerTableScanner, ScanMatchesThePreviousOneOnlyWhenNothingChanged) {
    const struct {
        const char* name;
        void (*change)(TempProcTree& tree, std::string& tables);
        bool same;
        std::uint16_t port;
        std::u16string label;
    } cases[] = {
        {"nothing changed", [](TempProcTree&, std::string&) {}, true, 2000, u"/bin/child"},
        {"exec in place", [](TempProcTree& tree, std::string&) { tree.makeLink("20/exe", "/bin/exec"); }, false, 2000,
         u"/bin/exec"},
        {"pid reused by another program",
         [](TempProcTree& tree, std::string&) {
             tree.remove("20");
             tree.addProcess(20, "/bin/newcomer\0"s, "newcomer", "/bin/newcomer");
             tree.addSocketLink(20, 3, 2000);
         },
         false, 2000, u"/bin/newcomer"},
        {"socket moved to another process",
         [](TempProcTree& tree, std::string&) {
             tree.addSocketLink(30, 4, 2000);
             tree.remove("20/fd/3");
             tree.touchFdTable(20);
         },
         false, 2000, u"/bin/other"},
        {"new socket", [](TempProcTree& tree, std::string& tables) {
             tree.addSocketLink(10, 4, 4000);
             tables += tableLine(3, 4000, 4000);
         },
         false, 4000, u"/bin/parent"},
    };
    for (const auto& row : cases) {
        TempProcTree tree;
        tree.addProcess(10, "/bin/parent\0"s, "parent", "/bin/parent");
        tree.addProcess(20, "/bin/child\0"s, "child", "/bin/child");
        tree.addProcess(30, "/bin/other\0"s, "other", "/bin/other");
        tree.addSocketLink(10, 3, 1000);
        tree.addSocketLink(20, 3, 2000);
        tree.addSocketLink(30, 3, 3000);
        std::string tables = tableLine(0, 1000, 1000) + tableLine(1, 2000, 2000) + tableLine(2, 3000, 3000);
        tree.writeFile("net/tcp", tables);
        tree.writeFile("net/udp", "");
        OwnerTableScanner scanner(tree.root());
        ASSERT_EQ(scanner.scan(), ScanStatus::Ok) << row.name;
        EXPECT_FALSE(scanner.sameAsPreviousScan()) << row.name;
        row.change(tree, tables);
        tree.writeFile("net/tcp", tables);
        ASSERT_EQ(scanner.scan(), ScanStatus::Ok) << row.name;
        EXPECT_EQ(scanner.sameAsPreviousScan(), row.same) << row.name;
        std::u16string label = u"<none>";
        for (const auto& [port, rowLabel] : scannedRows(scanner)) {
            if (port == row.port) label = rowLabel;
        }
        EXPECT_EQ(label, row.label) << row.name;
    }
}

}  // namespace
}  // namespace sondrel
