#pragma once

#include <arpa/inet.h>

#include <map>
#include <string>
#include <vector>

#include "app/accounting.h"

namespace sondrel::testing {

inline std::uint32_t ip(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

// Owner labels by local port; anything else is "TCP protocol"/"UDP protocol" or "ICMP protocol".
class FakeOwners final : public OwnerLookupService {
public:
    std::map<std::uint16_t, std::u16string> labels;
    std::u16string OwnerLookup(std::uint16_t port, std::uint16_t protocol) const override {
        if (protocol != 6 && protocol != 17) return protocol == 1 ? u"ICMP protocol" : u"IP protocol #99";
        const auto it = labels.find(port);
        if (it != labels.end()) return it->second;
        return protocol == 6 ? u"TCP protocol" : u"UDP protocol";
    }
};

class RecordingResolvers final : public ResolverStarter {
public:
    std::vector<std::uint32_t> started;
    void startResolver(std::uint32_t address) override { started.push_back(address); }
};

}  // namespace sondrel::testing
