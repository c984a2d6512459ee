#include "probe/captured_interface_list.h"

#include <net/if.h>

#include <algorithm>

namespace sondrel::probe {

namespace {

std::string_view interfaceOf(std::string_view rowName) { return rowName.substr(0, rowName.find(':')); }

template <typename T>
void addOnce(std::vector<T>& addresses, const T& address) {
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) addresses.push_back(address);
}

}  // namespace

CapturedInterfaces capturedInterfaces(std::span<const InterfaceListRow> rows, const CaptureSet& set,
                                      const std::string& openDevice) {
    CapturedInterfaces captured;
    if (openDevice.empty()) return captured;
    const bool oneAddress = !set.followsInterfaces();
    for (const InterfaceListRow& row : rows) {
        if (row.family != AF_PACKET) continue;
        const bool wanted = oneAddress ? row.name == openDevice
                            : set.kind == CaptureSet::Kind::All ? (row.flags & IFF_UP) != 0
                                                                : capturesInterface(set, row.name);
        if (wanted) captured.push_back(CapturedInterface{row.index, row.name, {}, {}});
    }
    for (const InterfaceListRow& row : rows) {
        const auto it = std::find_if(captured.begin(), captured.end(), [&](const CapturedInterface& interface) {
            return interface.name == interfaceOf(row.name);
        });
        if (it == captured.end()) continue;
        if (row.family == AF_INET && !oneAddress) addOnce(it->ipv4, row.ipv4);
        if (row.family == AF_INET6) addOnce(it->ipv6, row.ipv6);
    }
    if (oneAddress && !captured.empty()) captured.front().ipv4 = {set.address};
    return captured;
}

}  // namespace sondrel::probe
