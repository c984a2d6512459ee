#include "probe/discovery/socket_owner_cache.h"

#include <algorithm>
#include <unordered_set>

namespace sondrel {

const std::vector<int>& SocketOwnerCache::resolve(std::span<const SocketRow> rows, const ProcessSnapshot& snapshot,
                                                  const std::function<void(int pid)>& ownerChecked) {
    ++m_pass;
    if (!needsWalk(rows, snapshot, ownerChecked)) return m_owners;
    walk(rows, snapshot);
    m_owners.clear();
    for (const SocketRow& row : rows) {
        const auto it = row.inode == 0 ? m_ownerOfInode.end() : m_ownerOfInode.find(row.inode);
        m_owners.push_back(it == m_ownerOfInode.end() ? 0 : it->second.pid);
    }
    return m_owners;
}

bool SocketOwnerCache::needsWalk(std::span<const SocketRow> rows, const ProcessSnapshot& snapshot,
                                 const std::function<void(int pid)>& ownerChecked) {
    // The owners are gathered on the way: without a walk they are the answer.
    m_owners.clear();
    m_owners.reserve(rows.size());
    for (const SocketRow& row : rows) {
        if (row.inode == 0) {
            m_owners.push_back(0);
            continue;
        }
        const auto it = m_ownerOfInode.find(row.inode);
        if (it == m_ownerOfInode.end()) return true;
        it->second.lastPass = m_pass;
        m_owners.push_back(it->second.pid);
    }
    for (auto& [pid, stamp] : m_ownerStamps) {
        if (!ownerStillHoldsSockets(snapshot, pid, stamp, ownerChecked)) return true;
    }
    return false;
}

// Only the sockets the current tables still list matter: an owner closing a
// socket for good is no reason to walk.
bool SocketOwnerCache::ownerStillHoldsSockets(const ProcessSnapshot& snapshot, int pid, FdTableStamp& stamp,
                                              const std::function<void(int pid)>& ownerChecked) {
    const auto& owned = m_inodesOfOwner[pid];
    const auto listedNow = [&](std::uint64_t inode) { return m_ownerOfInode.at(inode).lastPass == m_pass; };
    if (std::none_of(owned.begin(), owned.end(), listedNow)) return true;
    if (!snapshot.contains(pid)) return false;
    const auto current = readFdTableStamp(snapshot.procRoot(), pid);
    if (!current) return false;
    if (ownerChecked) ownerChecked(pid);
    if (*current == stamp) return true;
    const auto held = readProcessSockets(snapshot.procRoot(), pid);
    if (!held) return false;
    const std::unordered_set<std::uint64_t> heldInodes(held->inodes.begin(), held->inodes.end());
    const bool holdsAll = std::all_of(owned.begin(), owned.end(), [&](std::uint64_t inode) {
        return !listedNow(inode) || heldInodes.contains(inode);
    });
    if (holdsAll) stamp = held->stamp;
    return holdsAll;
}

void SocketOwnerCache::walk(std::span<const SocketRow> rows, const ProcessSnapshot& snapshot) {
    ++m_walks;
    m_ownerOfInode.clear();
    m_ownerStamps.clear();
    m_inodesOfOwner.clear();
    for (const SocketRow& row : rows) {
        if (row.inode != 0) m_ownerOfInode.emplace(row.inode, InodeOwner{0, m_pass});
    }
    // Ascending ids: the first process found holding a socket is the lowest
    // of its holders, the owner after a fork.
    for (const int pid : snapshot.pids()) {
        const auto held = readProcessSockets(snapshot.procRoot(), pid);
        if (!held) continue;
        std::vector<std::uint64_t>* owned = nullptr;
        for (const std::uint64_t inode : held->inodes) {
            const auto it = m_ownerOfInode.find(inode);
            if (it == m_ownerOfInode.end() || it->second.pid != 0) continue;
            it->second.pid = pid;
            if (owned == nullptr) {
                owned = &m_inodesOfOwner[pid];
                m_ownerStamps.emplace(pid, held->stamp);
            }
            owned->push_back(inode);
        }
    }
}

}  // namespace sondrel
