#include "metrics/exposition.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace sondrel {
namespace {

CaptureStatus vethStatus() {
    CaptureStatus status;
    status.interfaceName = u"veth0";
    status.mode = AttributionMode::ProcPolling;
    status.capturing = true;
    status.packetsCaptured = 1234;
    status.packetsDropped = 5;
    status.packetsCountedInKernel = 1000;
    status.kernelTableFull = 3;
    return status;
}

TEST(Exposition, SmallTableByteExact) {
    MetricsSnapshot snapshot;
    snapshot.generation = 7;
    snapshot.capture = vethStatus();
    snapshot.applications = {
        {u"/usr/bin/curl", 2048, 1048576},
        {u"/opt/we\"ird\\dir\nname", 300, 400},
        {u"/bin/x\xD800y", 100, 200},  // unpaired surrogates: both become U+FFFD,
        {u"/bin/x\xDC00y", 1, 1},      // so the two are one series
        {u"other", 5, 5},              // a program of that name, folded like any other
        {u"UDP protocol", 1, 2},
    };
    snapshot.dataCaps = {{"month", "", 0.8125}, {"day", "/usr/bin/cu\"rl", 1.5}};
    MetricsExposition exposition(3);
    const std::string expected =
        "# HELP sondrel_application_transmit_bytes_total Bytes sent by the application (IP packets, headers included) since the "
        "statistics were last reset.\n"
        "# TYPE sondrel_application_transmit_bytes_total counter\n"
        "sondrel_application_transmit_bytes_total{application=\"/bin/x\xEF\xBF\xBDy\"} 101\n"
        "sondrel_application_transmit_bytes_total{application=\"/opt/we\\\"ird\\\\dir\\nname\"} 300\n"
        "sondrel_application_transmit_bytes_total{application=\"/usr/bin/curl\"} 2048\n"
        "# HELP sondrel_application_receive_bytes_total Bytes received by the application (IP packets, headers included) since "
        "the statistics were last reset.\n"
        "# TYPE sondrel_application_receive_bytes_total counter\n"
        "sondrel_application_receive_bytes_total{application=\"/bin/x\xEF\xBF\xBDy\"} 201\n"
        "sondrel_application_receive_bytes_total{application=\"/opt/we\\\"ird\\\\dir\\nname\"} 400\n"
        "sondrel_application_receive_bytes_total{application=\"/usr/bin/curl\"} 1048576\n"
        "# HELP sondrel_other_applications_transmit_bytes_total Bytes sent by applications while they had no series "
        "of their own (beyond the series limit).\n"
        "# TYPE sondrel_other_applications_transmit_bytes_total counter\n"
        "sondrel_other_applications_transmit_bytes_total 6\n"
        "# HELP sondrel_other_applications_receive_bytes_total Bytes received by applications while they had no "
        "series of their own (beyond the series limit).\n"
        "# TYPE sondrel_other_applications_receive_bytes_total counter\n"
        "sondrel_other_applications_receive_bytes_total 7\n"
        "# HELP sondrel_applications Applications counted since the statistics were last reset.\n"
        "# TYPE sondrel_applications gauge\n"
        "sondrel_applications 5\n"
        "# HELP sondrel_network_transmit_bytes_total Bytes counted as sent on the captured interface since the "
        "statistics were last reset.\n"
        "# TYPE sondrel_network_transmit_bytes_total counter\n"
        "sondrel_network_transmit_bytes_total{device=\"veth0\"} 2455\n"
        "# HELP sondrel_network_receive_bytes_total Bytes counted as received on the captured interface since the "
        "statistics were last reset.\n"
        "# TYPE sondrel_network_receive_bytes_total counter\n"
        "sondrel_network_receive_bytes_total{device=\"veth0\"} 1049184\n"
        "# HELP sondrel_capture_packets_total Packets the capture received.\n"
        "# TYPE sondrel_capture_packets_total counter\n"
        "sondrel_capture_packets_total{device=\"veth0\"} 1234\n"
        "# HELP sondrel_capture_packets_dropped_total Packets the capture lost before they were counted.\n"
        "# TYPE sondrel_capture_packets_dropped_total counter\n"
        "sondrel_capture_packets_dropped_total{device=\"veth0\"} 5\n"
        "# HELP sondrel_capture_kernel_packets_total Packets counted in the kernel, never copied to user space (a "
        "part of sondrel_capture_packets_total).\n"
        "# TYPE sondrel_capture_kernel_packets_total counter\n"
        "sondrel_capture_kernel_packets_total{device=\"veth0\"} 1000\n"
        "# HELP sondrel_capture_kernel_table_full_total Packets the kernel's flow table had no room for, counted in "
        "user space instead.\n"
        "# TYPE sondrel_capture_kernel_table_full_total counter\n"
        "sondrel_capture_kernel_table_full_total{device=\"veth0\"} 3\n"
        "# HELP sondrel_capture_up 1 while the interface is being captured, else 0.\n"
        "# TYPE sondrel_capture_up gauge\n"
        "sondrel_capture_up{device=\"veth0\"} 1\n"
        "# HELP sondrel_attribution_mode How packets are tied to the programs that own their ports: 1 for the mode "
        "in use.\n"
        "# TYPE sondrel_attribution_mode gauge\n"
        "sondrel_attribution_mode{mode=\"unknown\"} 0\n"
        "sondrel_attribution_mode{mode=\"ebpf\"} 0\n"
        "sondrel_attribution_mode{mode=\"proc\"} 1\n"
        "sondrel_attribution_mode{mode=\"none\"} 0\n"
        "# HELP sondrel_data_cap_ratio Bytes of the day or month so far over the cap's limit: 1 is the limit reached. "
        "Without an application label, the cap of all applications together.\n"
        "# TYPE sondrel_data_cap_ratio gauge\n"
        "sondrel_data_cap_ratio{period=\"month\"} 0.8125\n"
        "sondrel_data_cap_ratio{period=\"day\",application=\"/usr/bin/cu\\\"rl\"} 1.5\n";
    EXPECT_EQ(exposition.render(snapshot), expected);
}

// The value of every sample line, keyed by the line up to its value.
std::map<std::string, std::uint64_t> samples(const std::string& text) {
    std::map<std::string, std::uint64_t> values;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line.front() == '#') continue;
        const std::size_t space = line.rfind(' ');
        values[line.substr(0, space)] = std::stoull(line.substr(space + 1));
    }
    return values;
}

struct Scrape {
    std::uint64_t generation;
    std::vector<ApplicationCounters> applications;
    std::map<std::string, std::uint64_t> ownTransmit;  // application -> its series, and no other
    std::uint64_t otherTransmit;
};

// Scrapes with one series allowed: which application has it changes with the
// totals, every exported counter only grows, and a reset starts from zero.
TEST(Exposition, SeriesFollowTheLargestAndCountersOnlyGrow) {
    const std::vector<Scrape> scrapes = {
        {1, {{u"A", 100, 0}, {u"B", 50, 0}}, {{"A", 100}}, 50},
        // B overtakes A: B's earlier 50 bytes and its 150 since stay in the sum, A's 20 new bytes join it.
        {1, {{u"A", 120, 0}, {u"B", 200, 0}}, {{"B", 200}}, 220},
        {1, {{u"A", 130, 0}, {u"B", 210, 0}}, {{"B", 210}}, 230},
        // Equal totals keep the application that has the series.
        {1, {{u"A", 210, 0}, {u"B", 210, 0}}, {{"B", 210}}, 310},
        // A new application too small for a series of its own goes to the sum at once.
        {1, {{u"A", 210, 0}, {u"B", 210, 0}, {u"C", 7, 0}}, {{"B", 210}}, 317},
        // The daily reset: new generation, everything from zero.
        {2, {{u"C", 3, 0}}, {{"C", 3}}, 0},
    };
    MetricsExposition exposition(1);
    for (std::size_t i = 0; i < scrapes.size(); ++i) {
        SCOPED_TRACE("scrape " + std::to_string(i));
        MetricsSnapshot snapshot;
        snapshot.generation = scrapes[i].generation;
        snapshot.applications = scrapes[i].applications;
        const std::map<std::string, std::uint64_t> values = samples(exposition.render(snapshot));
        std::map<std::string, std::uint64_t> own;
        const std::string prefix = "sondrel_application_transmit_bytes_total{application=\"";
        for (const auto& [key, value] : values) {
            if (key.starts_with(prefix)) own[key.substr(prefix.size(), key.size() - prefix.size() - 2)] = value;
        }
        EXPECT_EQ(own, scrapes[i].ownTransmit);
        EXPECT_EQ(values.at("sondrel_other_applications_transmit_bytes_total"), scrapes[i].otherTransmit);
    }
}

TEST(Exposition, NoSeriesLimitZeroSumsEverything) {
    MetricsSnapshot snapshot;
    snapshot.applications = {{u"A", 1, 2}, {u"B", 3, 4}};
    const std::map<std::string, std::uint64_t> values = samples(MetricsExposition(0).render(snapshot));
    EXPECT_EQ(values.at("sondrel_other_applications_transmit_bytes_total"), 4u);
    EXPECT_EQ(values.at("sondrel_other_applications_receive_bytes_total"), 6u);
    EXPECT_EQ(values.at("sondrel_network_transmit_bytes_total{device=\"\"}"), 4u);
    EXPECT_EQ(values.count("sondrel_application_transmit_bytes_total{application=\"A\"}"), 0u);
}

TEST(Exposition, LabelValueEscaping) {
    const struct {
        const char* name;
        std::string raw;
        std::string escaped;
    } rows[] = {
        {"plain", "/usr/bin/curl", "/usr/bin/curl"},
        {"backslash", "C:\\x", "C:\\\\x"},
        {"quote", "say \"hi\"", "say \\\"hi\\\""},
        {"line feed", "a\nb", "a\\nb"},
        {"tab and carriage return stay", "a\tb\rc", "a\tb\rc"},
        {"UTF-8 stays", "\xD0\x96", "\xD0\x96"},
        {"backslash before n", "\\n", "\\\\n"},
    };
    for (const auto& row : rows) {
        std::string out;
        appendLabelValue(out, row.raw);
        EXPECT_EQ(out, row.escaped) << row.name;
    }
}

}  // namespace
}  // namespace sondrel
