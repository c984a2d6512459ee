#pragma once

#include <cstdint>
#include <optional>

namespace sondrel {

// Broken-down local time, as the reports and the midnight check need it.
struct LocalTime {
    int year = 0;    // four digits
    int month = 0;   // 1..12
    int day = 0;     // 1..31
    int hour = 0;    // 0..23
    int minute = 0;
    int second = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    // Empty when the local time cannot be determined.
    virtual std::optional<LocalTime> now() const = 0;
};

class SystemClock final : public Clock {
public:
    std::optional<LocalTime> now() const override;
};

// Time for measuring intervals such as rates: it only moves forward, so a wall
// clock set back or forward (by hand, NTP, a time-zone change) never makes a
// tick look long, short or negative.
class MonotonicClock {
public:
    virtual ~MonotonicClock() = default;
    // Nanoseconds since an arbitrary fixed point.
    virtual std::int64_t nanoseconds() const = 0;
};

class SteadyClock final : public MonotonicClock {
public:
    std::int64_t nanoseconds() const override;
};

}  // namespace sondrel
