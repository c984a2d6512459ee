#include "metrics/exposition.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <vector>

#include "base/text.h"

namespace sondrel {

namespace {

struct Series {
    std::string label;  // the application's name in UTF-8
    std::uint64_t transmitBytes = 0;
    std::uint64_t receiveBytes = 0;
    bool ownSeries = false;
    bool hadOwnSeries = false;

    std::uint64_t totalBytes() const {
        const std::uint64_t sum = transmitBytes + receiveBytes;
        return sum < transmitBytes ? UINT64_MAX : sum;
    }
};

// Names that differ only in unpaired surrogates give the same UTF-8 text; one
// exposition must not carry two series with the same labels, so they are summed.
std::vector<Series> seriesByLabel(const std::vector<ApplicationCounters>& applications) {
    std::vector<Series> series;
    series.reserve(applications.size());
    for (const ApplicationCounters& app : applications) {
        series.push_back({u16ToUtf8(app.name), app.transmitBytes, app.receiveBytes});
    }
    std::sort(series.begin(), series.end(), [](const Series& a, const Series& b) { return a.label < b.label; });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < series.size(); ++i) {
        if (kept > 0 && series[kept - 1].label == series[i].label) {
            series[kept - 1].transmitBytes += series[i].transmitBytes;
            series[kept - 1].receiveBytes += series[i].receiveBytes;
        } else {
            if (kept != i) series[kept] = std::move(series[i]);
            ++kept;
        }
    }
    series.resize(kept);
    return series;
}

// The largest by total bytes; among equals, those that had a series already
// (no churn between scrapes), then by name.
void chooseOwnSeries(std::vector<Series>& series, std::size_t limit) {
    if (series.size() <= limit) {
        for (Series& s : series) s.ownSeries = true;
        return;
    }
    std::vector<Series*> ranked;
    ranked.reserve(series.size());
    for (Series& s : series) ranked.push_back(&s);
    std::nth_element(ranked.begin(), ranked.begin() + std::ptrdiff_t(limit), ranked.end(),
                     [](const Series* a, const Series* b) {
                         if (a->totalBytes() != b->totalBytes()) return a->totalBytes() > b->totalBytes();
                         if (a->hadOwnSeries != b->hadOwnSeries) return a->hadOwnSeries;
                         return a->label < b->label;
                     });
    for (std::size_t i = 0; i < limit; ++i) ranked[i]->ownSeries = true;
}

void appendNumber(std::string& out, std::uint64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

void appendFamily(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void appendSample(std::string& out, std::string_view name, std::string_view labelName, std::string_view labelValue,
                  std::uint64_t value) {
    out += name;
    out += '{';
    out += labelName;
    out += "=\"";
    appendLabelValue(out, labelValue);
    out += "\"} ";
    appendNumber(out, value);
    out += '\n';
}

void appendSample(std::string& out, std::string_view name, std::uint64_t value) {
    out += name;
    out += ' ';
    appendNumber(out, value);
    out += '\n';
}

std::string_view modeName(AttributionMode mode) {
    switch (mode) {
    case AttributionMode::Unknown: return "unknown";
    case AttributionMode::Ebpf: return "ebpf";
    case AttributionMode::ProcPolling: return "proc";
    case AttributionMode::None: return "none";
    }
    return "unknown";
}

constexpr AttributionMode kModes[] = {AttributionMode::Unknown, AttributionMode::Ebpf, AttributionMode::ProcPolling,
                                      AttributionMode::None};

// Bytes of every application, and of those without a series of their own.
struct Totals {
    std::uint64_t transmit = 0;
    std::uint64_t receive = 0;
    std::uint64_t otherTransmit = 0;
    std::uint64_t otherReceive = 0;
};

Totals sumSeries(const std::vector<Series>& series) {
    Totals totals;
    for (const Series& s : series) {
        totals.transmit += s.transmitBytes;
        totals.receive += s.receiveBytes;
        if (!s.ownSeries) {
            totals.otherTransmit += s.transmitBytes;
            totals.otherReceive += s.receiveBytes;
        }
    }
    return totals;
}

void appendApplicationFamilies(std::string& out, const std::vector<Series>& series, const Totals& totals) {
    constexpr std::string_view transmitName = "sondrel_application_transmit_bytes_total";
    appendFamily(out, transmitName, "counter",
                 "Bytes sent by the application (IP packets, headers included) since the statistics were last reset.");
    for (const Series& s : series) {
        if (s.ownSeries) appendSample(out, transmitName, "application", s.label, s.transmitBytes);
    }
    constexpr std::string_view receiveName = "sondrel_application_receive_bytes_total";
    appendFamily(out, receiveName, "counter",
                 "Bytes received by the application (IP packets, headers included) since the statistics were last reset.");
    for (const Series& s : series) {
        if (s.ownSeries) appendSample(out, receiveName, "application", s.label, s.receiveBytes);
    }

    constexpr std::string_view otherTransmitName = "sondrel_other_applications_transmit_bytes_total";
    appendFamily(out, otherTransmitName, "counter",
                 "Bytes sent by applications while they had no series of their own (beyond the series limit).");
    appendSample(out, otherTransmitName, totals.otherTransmit);
    constexpr std::string_view otherReceiveName = "sondrel_other_applications_receive_bytes_total";
    appendFamily(out, otherReceiveName, "counter",
                 "Bytes received by applications while they had no series of their own (beyond the series limit).");
    appendSample(out, otherReceiveName, totals.otherReceive);

    appendFamily(out, "sondrel_applications", "gauge", "Applications counted since the statistics were last reset.");
    appendSample(out, "sondrel_applications", series.size());
}

void appendInterfaceFamilies(std::string& out, const MetricsSnapshot& snapshot, const Totals& totals) {
    const CaptureStatus& capture = snapshot.capture;
    const std::string device = u16ToUtf8(capture.interfaceName);
    appendFamily(out, "sondrel_network_transmit_bytes_total", "counter",
                 "Bytes counted as sent on the captured interface since the statistics were last reset.");
    if (snapshot.devices.empty()) appendSample(out, "sondrel_network_transmit_bytes_total", "device", device, totals.transmit);
    for (const DeviceCounters& counted : snapshot.devices)
        appendSample(out, "sondrel_network_transmit_bytes_total", "device", counted.name, counted.transmitBytes);
    appendFamily(out, "sondrel_network_receive_bytes_total", "counter",
                 "Bytes counted as received on the captured interface since the statistics were last reset.");
    if (snapshot.devices.empty()) appendSample(out, "sondrel_network_receive_bytes_total", "device", device, totals.receive);
    for (const DeviceCounters& counted : snapshot.devices)
        appendSample(out, "sondrel_network_receive_bytes_total", "device", counted.name, counted.receiveBytes);
    appendFamily(out, "sondrel_capture_packets_total", "counter", "Packets the capture received.");
    appendSample(out, "sondrel_capture_packets_total", "device", device, capture.packetsCaptured);
    appendFamily(out, "sondrel_capture_packets_dropped_total", "counter",
                 "Packets the capture lost before they were counted.");
    appendSample(out, "sondrel_capture_packets_dropped_total", "device", device, capture.packetsDropped);
    appendFamily(out, "sondrel_capture_kernel_packets_total", "counter",
                 "Packets counted in the kernel, never copied to user space (a part of sondrel_capture_packets_total).");
    appendSample(out, "sondrel_capture_kernel_packets_total", "device", device, capture.packetsCountedInKernel);
    appendFamily(out, "sondrel_capture_kernel_table_full_total", "counter",
                 "Packets the kernel's flow table had no room for, counted in user space instead.");
    appendSample(out, "sondrel_capture_kernel_table_full_total", "device", device, capture.kernelTableFull);
    appendFamily(out, "sondrel_capture_up", "gauge", "1 while the interface is being captured, else 0.");
    appendSample(out, "sondrel_capture_up", "device", device, capture.capturing ? 1 : 0);
}

// Absent without caps: a family with no samples says nothing.
void appendDataCapFamily(std::string& out, const std::vector<DataCapRatio>& caps) {
    if (caps.empty()) return;
    constexpr std::string_view name = "sondrel_data_cap_ratio";
    appendFamily(out, name, "gauge",
                 "Bytes of the day or month so far over the cap's limit: 1 is the limit reached. Without an "
                 "application label, the cap of all applications together.");
    for (const DataCapRatio& cap : caps) {
        out += name;
        out += "{period=\"";
        appendLabelValue(out, cap.period);
        out += '"';
        if (!cap.application.empty()) {
            out += ",application=\"";
            appendLabelValue(out, cap.application);
            out += '"';
        }
        out += "} ";
        char number[32];
        std::snprintf(number, sizeof number, "%.6g", cap.ratio);
        out += number;
        out += '\n';
    }
}

void appendAttributionFamily(std::string& out, AttributionMode current) {
    appendFamily(out, "sondrel_attribution_mode", "gauge",
                 "How packets are tied to the programs that own their ports: 1 for the mode in use.");
    for (const AttributionMode mode : kModes) {
        appendSample(out, "sondrel_attribution_mode", "mode", modeName(mode), mode == current ? 1 : 0);
    }
}

}  // namespace

void appendLabelValue(std::string& out, std::string_view utf8) {
    for (const char c : utf8) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
}

void MetricsExposition::restart(std::uint64_t generation) {
    m_generation = generation;
    m_previous.clear();
    m_otherTransmitOffset = 0;
    m_otherReceiveOffset = 0;
}

bool MetricsExposition::hadOwnSeries(const std::string& label) const {
    const auto it = m_previous.find(label);
    return it != m_previous.end() && it->second.ownSeries;
}

void MetricsExposition::followOwnSeries(std::unordered_map<std::string, Previous> now) {
    // The offsets are sums modulo 2^64, so the order the series are met in does not matter.
    for (const auto& [label, current] : now) {
        const auto it = m_previous.find(label);
        if (it == m_previous.end()) continue;
        if (current.ownSeries && !it->second.ownSeries) {
            // Its bytes so far stay in the sum, where they were reported.
            m_otherTransmitOffset += current.transmitBytes;
            m_otherReceiveOffset += current.receiveBytes;
        } else if (!current.ownSeries && it->second.ownSeries) {
            // What its own series already reported must not be reported again.
            m_otherTransmitOffset -= it->second.transmitBytes;
            m_otherReceiveOffset -= it->second.receiveBytes;
        }
        m_previous.erase(it);
    }
    // Records only go at a reset; should one go otherwise, the sum keeps what it reported.
    for (const auto& [label, gone] : m_previous) {
        if (!gone.ownSeries) {
            m_otherTransmitOffset += gone.transmitBytes;
            m_otherReceiveOffset += gone.receiveBytes;
        }
    }
    m_previous = std::move(now);
}

std::string MetricsExposition::render(const MetricsSnapshot& snapshot) {
    if (m_generation != snapshot.generation) restart(snapshot.generation);

    std::vector<Series> series = seriesByLabel(snapshot.applications);
    for (Series& s : series) s.hadOwnSeries = hadOwnSeries(s.label);
    chooseOwnSeries(series, m_maxApplicationSeries);

    std::unordered_map<std::string, Previous> now;
    now.reserve(series.size());
    for (const Series& s : series) now.emplace(s.label, Previous{s.ownSeries, s.transmitBytes, s.receiveBytes});
    followOwnSeries(std::move(now));
    Totals totals = sumSeries(series);
    totals.otherTransmit += m_otherTransmitOffset;
    totals.otherReceive += m_otherReceiveOffset;

    std::string out;
    out.reserve(2048 + series.size() * 2 * 100);
    appendApplicationFamilies(out, series, totals);
    appendInterfaceFamilies(out, snapshot, totals);
    appendAttributionFamily(out, snapshot.capture.mode);
    appendDataCapFamily(out, snapshot.dataCaps);
    return out;
}

}  // namespace sondrel
