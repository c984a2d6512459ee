#include "base/capture_set.h"

#include <algorithm>

namespace sondrel {

bool validInterfaceName(std::string_view name) {
    if (name.empty() || name.size() > kMaxInterfaceNameBytes || name == "." || name == "..") return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7F || c == '/' || c == ':' || c == ',';
    });
}

std::optional<CaptureSet> parseInterfaceList(std::string_view text) {
    if (text == "all") return CaptureSet::all();
    CaptureSet set{CaptureSet::Kind::Names, 0, {}};
    for (;;) {
        const std::size_t comma = text.find(',');
        const std::string_view name = text.substr(0, comma);
        if (!validInterfaceName(name)) return std::nullopt;
        if (std::find(set.names.begin(), set.names.end(), name) == set.names.end()) {
            if (set.names.size() == kMaxNamedInterfaces) return std::nullopt;
            set.names.emplace_back(name);
        }
        if (comma == std::string_view::npos) return set;
        text.remove_prefix(comma + 1);
    }
}

std::string interfaceListText(const CaptureSet& set) {
    if (set.kind == CaptureSet::Kind::All) return "all";
    std::string text;
    for (const std::string& name : set.names) {
        if (!text.empty()) text += ',';
        text += name;
    }
    return text;
}

bool capturesInterface(const CaptureSet& set, std::string_view name) {
    if (set.kind == CaptureSet::Kind::All) return true;
    return std::find(set.names.begin(), set.names.end(), name) != set.names.end();
}

}  // namespace sondrel
