#pragma once

#include <arpa/inet.h>

#include <limits>
#include <map>
#include <string>
#include <vector>

#include "engine/accounting.h"

namespace sondrel::testing {

inline std::uint32_t ip(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

// Owner labels by local port; anything else is "TCP protocol"/"UDP protocol" or "ICMP protocol".
class FakeOwners final : public OwnerLookupService {
public:
    std::map<std::uint16_t, std::u16string> labels;  // nodes stay put: answers point into them
    OwnerLabel lookupOwner(const OwnerQuery& query) const override {
        static const std::u16string icmp = u"ICMP protocol", other = u"IP protocol #99", tcp = u"TCP protocol",
                                    udp = u"UDP protocol";
        if (query.protocol != 6 && query.protocol != 17) return {query.protocol == 1 ? &icmp : &other, true};
        const auto it = labels.find(query.localPort);
        if (it != labels.end()) return {&it->second, false};
        return {query.protocol == 6 ? &tcp : &udp, true};
    }
    std::int64_t completeUpTo = std::numeric_limits<std::int64_t>::max();
    std::int64_t claimsCompleteUpTo() const override { return completeUpTo; }
};

class RecordingResolvers final : public ResolverStarter {
public:
    std::vector<std::uint32_t> started;
    void startResolver(const IpAddress& remote, EndpointRecord&) override { started.push_back(remote.ipv4()); }
};

}  // namespace sondrel::testing
