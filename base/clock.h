#pragma once

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

}  // namespace sondrel
