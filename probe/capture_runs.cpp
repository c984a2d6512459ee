#include "probe/capture_runs.h"

#include <algorithm>

namespace sondrel::probe {

namespace {

bool eraseOne(std::vector<std::uint32_t>& keys, std::uint32_t key) {
    const auto it = std::find(keys.begin(), keys.end(), key);
    if (it == keys.end()) return false;
    keys.erase(it);
    return true;
}

}  // namespace

bool CaptureRuns::start(std::uint32_t key, bool changed, bool stopped) {
    // A run of this choice that has not ended goes on: a second would count
    // every packet twice. Runs of a list or all share key 0: a new set starts
    // its own, and the old one ends as soon as it sees the change.
    if ((key != 0 || !changed) && live(key) != 0) {
        if (stopped && std::find(m_reliedOn.begin(), m_reliedOn.end(), key) == m_reliedOn.end())
            m_reliedOn.push_back(key);
        return false;
    }
    m_live.push_back(key);
    return true;
}

bool CaptureRuns::ended(std::uint32_t key, bool running, std::uint32_t wantedKey) {
    eraseOne(m_live, key);
    const bool reliedOn = eraseOne(m_reliedOn, key);
    if (!reliedOn || !running || wantedKey != key || live(key) != 0) return false;
    m_live.push_back(key);
    return true;
}

std::size_t CaptureRuns::live(std::uint32_t key) const { return std::size_t(std::count(m_live.begin(), m_live.end(), key)); }

}  // namespace sondrel::probe
