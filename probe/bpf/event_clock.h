#pragma once

#include <cstdint>

namespace sondrel {

// The clock the kernel stamps owner events with: CLOCK_BOOTTIME
// (bpf_ktime_get_boot_ns, Linux 5.8 and later), else CLOCK_MONOTONIC. Both
// run in nanoseconds since boot; BOOTTIME keeps counting during suspend.
enum class EventClock { Boot, Monotonic };

// CLOCK_REALTIME minus `clock`, now, in nanoseconds: add it to an event time
// to get nanoseconds since the epoch, comparable with libpcap's time stamps.
// Resample it for each batch of events: it moves when the wall clock is set.
std::int64_t realtimeOffsetNs(EventClock clock);

inline std::int64_t eventTimeToRealtimeNs(std::uint64_t eventNs, std::int64_t offsetNs) {
    return static_cast<std::int64_t>(eventNs) + offsetNs;
}

}  // namespace sondrel
