#include "probe/bpf/event_clock.h"

#include <time.h>

namespace sondrel {

namespace {

std::int64_t nanoseconds(const timespec& t) {
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

std::int64_t realtimeOffsetNs(EventClock clock) {
    const clockid_t source = clock == EventClock::Boot ? CLOCK_BOOTTIME : CLOCK_MONOTONIC;
    // Bracketing the source read between two wall-clock reads keeps the
    // error to half the time between them, even if the thread is preempted
    // once; the closest of three tries is kept.
    std::int64_t best = 0;
    std::int64_t bestGap = -1;
    for (int i = 0; i < 3; ++i) {
        timespec before{}, at{}, after{};
        clock_gettime(CLOCK_REALTIME, &before);
        clock_gettime(source, &at);
        clock_gettime(CLOCK_REALTIME, &after);
        const std::int64_t gap = nanoseconds(after) - nanoseconds(before);
        if (bestGap < 0 || gap < bestGap) {
            bestGap = gap;
            best = nanoseconds(before) + gap / 2 - nanoseconds(at);
        }
    }
    return best;
}

}  // namespace sondrel
