#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sondrel::probe {

// The capture runs that live, by key (the address of a one-address run; 0 for
// a list or all), so that the last of a quick train of stop and start
// commands always wins. A stop only tells a run to end; the run may already
// have decided to when the next start comes and finds it still listed. That
// start relies on it, so when it ends after all, another takes its place.
// Guarded by the caller's lock.
class CaptureRuns {
public:
    // A start of `key`; `changed`: another set than the last one; `stopped`:
    // capture was stopped when this start came. True when a run must be made.
    bool start(std::uint32_t key, bool changed, bool stopped);
    // A run of `key` ended; `running` and `wantedKey` are the capture's flags
    // now. True when a run must be made in its place (and it is listed).
    bool ended(std::uint32_t key, bool running, std::uint32_t wantedKey);
    std::size_t live(std::uint32_t key) const;

private:
    std::vector<std::uint32_t> m_live;
    std::vector<std::uint32_t> m_reliedOn;  // keys a start after a stop found live
};

}  // namespace sondrel::probe
