#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "metrics/metrics_snapshot.h"

namespace sondrel {

inline constexpr std::size_t kDefaultMaxApplicationSeries = 200;

// Appends a label value as the text format wants it: backslash, double quote
// and line feed escaped, everything else as it is (the text is UTF-8).
void appendLabelValue(std::string& out, std::string_view utf8);

// The Prometheus text exposition (format 0.0.4) of the engine's counters.
//
// At most maxApplicationSeries applications get series of their own: the
// largest by total bytes. The others are summed into the series
// sondrel_other_applications_{transmit,receive}_bytes_total, which carry no
// application label, so no application (one may well be called "other")
// can ever be mistaken for the sum, and `sum by (application)` never mixes
// them. Since the set of applications with series of their own changes
// from scrape to scrape, the sum is kept as the bytes counted while an
// application had no series of its own: an application that gets one takes
// its past bytes along in the sum, and one that loses it adds only what came
// after its last exported value. So every counter only grows between two
// statistics resets, and a reset (at midnight, after a daily report, or when
// the interface changes) starts them all at zero again, which Prometheus
// reads as a counter reset.
//
// Not thread-safe: one scraping thread renders.
class MetricsExposition {
public:
    explicit MetricsExposition(std::size_t maxApplicationSeries = kDefaultMaxApplicationSeries)
        : m_maxApplicationSeries(maxApplicationSeries) {}

    std::string render(const MetricsSnapshot& snapshot);

private:
    struct Previous {
        bool ownSeries = false;
        std::uint64_t transmitBytes = 0;
        std::uint64_t receiveBytes = 0;
    };

    // Starts every counter at zero again: the statistics were reset.
    void restart(std::uint64_t generation);
    // Whether the application had a series of its own at the last scrape.
    bool hadOwnSeries(const std::string& label) const;
    // Keeps the sum of the others growing while applications gain and lose
    // series of their own; `now` is this scrape's series by label.
    void followOwnSeries(std::unordered_map<std::string, Previous> now);

    std::size_t m_maxApplicationSeries;
    std::optional<std::uint64_t> m_generation;
    std::unordered_map<std::string, Previous> m_previous;  // by label, as of the last scrape
    // Added to the sum of the folded applications' totals; arithmetic modulo
    // 2^64, since the exported sum itself never goes below zero.
    std::uint64_t m_otherTransmitOffset = 0;
    std::uint64_t m_otherReceiveOffset = 0;
};

}  // namespace sondrel
