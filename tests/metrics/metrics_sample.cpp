// Prints the exposition of a small table with every kind of label value that
// needs care (quotes, backslashes, line feeds, unpaired surrogates, non-ASCII
// text, a program called "other") and more applications than series, for
// promtool to check.
#include <cstdio>

#include "metrics/exposition.h"

int main() {
    sondrel::MetricsSnapshot snapshot;
    snapshot.generation = 1;
    snapshot.capture.interfaceName = u"enp0s31f6";
    snapshot.capture.mode = sondrel::AttributionMode::Ebpf;
    snapshot.capture.capturing = true;
    snapshot.capture.packetsCaptured = 1000;
    snapshot.capture.packetsDropped = 3;
    snapshot.dataCaps = {{"month", "", 0.42}, {"day", "/usr/bin/firefox", 1.0}};
    snapshot.applications = {
        {u"/usr/bin/curl", 2048, 1048576},
        {u"/opt/we\"ird\\dir\nname", 300, 400},
        {u"/bin/x\xD800y", 100, 200},
        {u"/usr/bin/\u0436\u0443\u043A", 90, 10},
        {u"other", 5, 5},
        {u"UDP protocol", 1, 2},
        {u"ICMP protocol", 0, 84},
    };
    sondrel::MetricsExposition exposition(4);
    exposition.render(snapshot);
    snapshot.applications[4].transmitBytes = 1 << 20;  // "other" gets a series of its own on the second scrape
    const std::string text = exposition.render(snapshot);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}
