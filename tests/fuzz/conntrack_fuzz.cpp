#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "probe/discovery/conntrack_table.h"
#include "probe/discovery/foreign_flows.h"
#include "probe/discovery/namespace_names.h"

// Any bytes as /proc/net/nf_conntrack, joined to sockets of two namespaces,
// and as /proc/<pid>/cgroup.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<sondrel::ConntrackEntry> entries;
    sondrel::parseConntrackTable(text, entries);
    // Every entry needs a line of its own.
    std::size_t lines = 1;
    for (char c : text) lines += c == '\n';
    if (entries.size() > lines || entries.size() > sondrel::kMaxConntrackEntries) __builtin_trap();
    for (const auto& entry : entries) {
        if (entry.family != sondrel::kFamilyIpv4 && entry.family != sondrel::kFamilyIpv6) __builtin_trap();
        if (entry.protocol != 6 && entry.protocol != 17 && entry.protocol != 132) __builtin_trap();
    }

    sondrel::ForeignFlows flows;
    for (const std::uint8_t protocol : {6, 17, 132}) {
        sondrel::ForeignSocket any;
        any.netns = 1;
        any.protocol = protocol;
        any.family = sondrel::kFamilyIpv6;
        any.carries = sondrel::kCarriesIpv4 | sondrel::kCarriesIpv6;
        any.localPort = entries.empty() ? 1 : entries.front().origSrcPort;
        any.label = "a";
        flows.observeSocket(any);
        any.netns = 2;
        any.localPort = entries.empty() ? 1 : entries.back().replySrcPort;
        flows.observeSocket(any);
    }
    std::vector<sondrel::FlowClaim> claims;
    flows.observeConntrack(entries, 0, claims);
    if (claims.size() > 2 * entries.size()) __builtin_trap();

    if (const auto name = sondrel::containerNameFromCgroup(text)) {
        if (name->empty() || name->size() > 64) __builtin_trap();
        for (char c : *name) {
            const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                                 c == '-' || c == '_' || c == '.';
            if (!allowed) __builtin_trap();
        }
    }
    return 0;
}
