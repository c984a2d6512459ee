#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "probe/discovery/proc_files.h"
#include "probe/discovery/socket_diag.h"
#include "probe/discovery/socket_owner_cache.h"
#include "probe/discovery/socket_table.h"

namespace sondrel {

// Where the (port, inode) rows come from. The netlink dump describes the
// live kernel, so a tree standing in for /proc must use its table files.
enum class RowSource { TableFiles, SocketDiagThenTableFiles };

enum class ScanStatus { Ok, TcpTableUnreadable, UdpTableUnreadable };

// One labelled endpoint of a pass; the label lives in the scanner's label list.
struct OwnedPort {
    std::uint16_t localPort = 0;
    std::uint32_t labelIndex = 0;
    std::uint8_t protocol = 0;  // 6, 17, 132, 1, 58, or a raw socket's
    std::uint8_t carries = 0;   // kCarriesIpv4 | kCarriesIpv6
    int pid = 0;                // the owner; 0 for a socket no readable process holds
    std::uint64_t inode = 0;    // the socket
    bool raw = false;           // as in SocketRow
    Ipv6Address localAddress{};
    bool operator==(const OwnedPort&) const = default;
};

// The work of one discovery pass, without the map and its lock: read the
// socket tables, take the process snapshot, find each socket's owner and label it.
// Keeps its buffers and the inode cache from pass to pass, so one scanner
// belongs to one worker thread.
class OwnerTableScanner {
public:
    explicit OwnerTableScanner(std::string procRoot, RowSource source = RowSource::TableFiles);

    // Rows come out in table order (tcp, tcp6, udp, udp6, sctp/eps,
    // sctp/assocs, icmp, icmp6, raw, raw6); rows whose socket no readable
    // process holds are left out. Only tcp and udp are required: a kernel
    // without IPv6 has no v6 tables, the sctp ones come with its module. A
    // failed netlink dump falls back to the table file; the tables after
    // udp6 are always read as files, they are small.
    ScanStatus scan();

    const std::vector<OwnedPort>& ownedPorts() const { return m_ownedPorts; }
    // Live sockets (with an inode) that no readable process holds: another
    // user's, when this process may not look into theirs.
    const std::vector<OwnedPort>& unownedPorts() const { return m_unownedPorts; }
    const std::u16string& label(const OwnedPort& port) const { return m_labels[port.labelIndex]; }
    const SocketOwnerCache& ownerCache() const { return m_ownerCache; }

    // The last scan labelled the same rows, in the same order, with the same
    // labels as the scan before it: applying them again would store nothing new.
    bool sameAsPreviousScan() const { return m_sameAsPreviousScan; }

private:
    bool readTcpTables();
    bool readTable(const char* name, int family, int protocol, bool required);
    void readOtherTables();
    std::u16string keepPathWhileExiting(int pid, std::u16string label) const;

    std::string m_procRoot;
    RowSource m_source;
    TableFileReader m_tableReader;
    SocketDiag m_socketDiag;
    std::vector<SocketRow> m_rows;
    SocketOwnerCache m_ownerCache;
    std::vector<std::u16string> m_labels;
    std::vector<OwnedPort> m_ownedPorts;
    std::vector<OwnedPort> m_unownedPorts;
    std::vector<OwnedPort> m_previousUnownedPorts;
    std::vector<std::u16string> m_previousLabels;
    std::vector<OwnedPort> m_previousOwnedPorts;
    bool m_sameAsPreviousScan = false;
    std::unordered_map<int, std::u16string> m_pathOfPid;  // path labels of the previous pass
};

}  // namespace sondrel
