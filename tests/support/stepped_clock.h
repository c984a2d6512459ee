#pragma once

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

}  // namespace sondrel::testing
