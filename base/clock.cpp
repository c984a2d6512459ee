#include "base/clock.h"

#include <chrono>
#include <ctime>

namespace sondrel {

std::optional<LocalTime> SystemClock::now() const {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    if (t == std::time_t(-1) || localtime_r(&t, &tm) == nullptr) return std::nullopt;
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::int64_t SteadyClock::nanoseconds() const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace sondrel
