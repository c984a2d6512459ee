#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "probe/discovery/proc_files.h"
#include "probe/discovery/process_snapshot.h"
#include "probe/discovery/socket_table.h"

namespace sondrel {

// Socket inode -> owning process id, kept between passes.
//
// Walking every /proc/<pid>/fd costs a few microseconds per open file, far
// too much to repeat every 300 ms on a busy machine, so the walk runs only
// when the cache may be wrong:
//  - a table row carries an inode the cache does not know (a new socket);
//  - a cached owner is no longer in the snapshot (it exited; a child that
//    inherited the socket now owns it);
//  - a cached owner's fd table changed (its stamp moved) and a re-read of that
//    one process shows it no longer holds one of its cached sockets (it closed
//    its copy after fork or after passing the socket on).
// A pass walks at most once. An inode that no readable process holds is
// cached as unowned, so other users' sockets do not force a walk every pass.
// Not seen until the next walk: a process with a lower id than the cached
// owner receiving a copy of the socket (fd passing), while the owner keeps its own.
class SocketOwnerCache {
public:
    // Owner of every row's inode (0: none, also for inode 0), same order as rows.
    // ownerChecked is called with each cached owner right after its fd table
    // was looked at: after 300 ms the kernel's data of a process is out of the
    // CPU caches, and reading everything else the pass needs of that process
    // there and then costs less than a second sweep over all owners.
    const std::vector<int>& resolve(std::span<const SocketRow> rows, const ProcessSnapshot& snapshot,
                                    const std::function<void(int pid)>& ownerChecked = {});

    // Full walks so far; the benchmarks and tests watch it.
    std::uint64_t walkCount() const { return m_walks; }

private:
    bool needsWalk(std::span<const SocketRow> rows, const ProcessSnapshot& snapshot,
                   const std::function<void(int pid)>& ownerChecked);
    bool ownerStillHoldsSockets(const ProcessSnapshot& snapshot, int pid, FdTableStamp& stamp,
                                const std::function<void(int pid)>& ownerChecked);
    void walk(std::span<const SocketRow> rows, const ProcessSnapshot& snapshot);

    struct InodeOwner {
        int pid = 0;                // 0: no readable process holds it
        std::uint64_t lastPass = 0;  // last pass whose tables listed the inode
    };

    std::unordered_map<std::uint64_t, InodeOwner> m_ownerOfInode;
    std::unordered_map<int, FdTableStamp> m_ownerStamps;
    std::unordered_map<int, std::vector<std::uint64_t>> m_inodesOfOwner;
    std::vector<int> m_owners;
    std::uint64_t m_walks = 0;
    std::uint64_t m_pass = 0;
};

}  // namespace sondrel
