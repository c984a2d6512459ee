#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "base/clock.h"

namespace sondrel::testing {

// A clock the test moves by hand; it starts two seconds before a midnight.
class SteppedClock final : public Clock {
public:
    std::optional<LocalTime> now() const override {
        const std::scoped_lock guard(m_lock);
        return m_now;
    }
    void set(std::optional<LocalTime> t) {
        const std::scoped_lock guard(m_lock);
        m_now = t;
    }

private:
    mutable std::mutex m_lock;
    std::optional<LocalTime> m_now = LocalTime{2027, 1, 31, 23, 59, 58};
};

// Monotonic time the test moves by hand, from 0.
class SteppedMonotonicClock final : public MonotonicClock {
public:
    std::int64_t nanoseconds() const override { return m_ns.load(); }
    void advanceMs(std::int64_t ms) { m_ns += ms * 1'000'000; }

private:
    std::atomic<std::int64_t> m_ns{0};
};

}  // namespace sondrel::testing
