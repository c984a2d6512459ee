#include "probe/discovery/namespace_names.h"

#include <dirent.h>
#include <sys/stat.h>

#include <array>
#include <memory>
#include <span>
#include <vector>

namespace sondrel {

namespace {

constexpr std::size_t kMaxNameBytes = 64;
constexpr std::size_t kContainerIdDigits = 64;
constexpr std::size_t kShownIdDigits = 12;
constexpr std::size_t kMaxNamespaceNames = 256;
constexpr std::int64_t kRefreshNs = 1'000'000'000;

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isContainerId(std::string_view text) {
    if (text.size() != kContainerIdDigits) return false;
    for (char c : text)
        if (!isHexDigit(c)) return false;
    return true;
}

std::optional<std::string> sanitised(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameBytes) return std::nullopt;
    for (char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                             c == '_' || c == '.';
        if (!allowed) return std::nullopt;
    }
    return std::string(name);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

// systemd writes a unit name's '-' and other bytes as \xNN.
std::string unescapedUnitName(std::string_view text) {
    std::string name;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && isHexDigit(text[i + 2]) &&
            isHexDigit(text[i + 3])) {
            name.push_back(char(hexValue(text[i + 2]) * 16 + hexValue(text[i + 3])));
            i += 3;
        } else {
            name.push_back(text[i]);
        }
    }
    return name;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::optional<std::string> shownId(std::string_view id) {
    if (!isContainerId(id)) return std::nullopt;
    return std::string(id.substr(0, kShownIdDigits));
}

// The container a cgroup path component names; `parents` are the components above it.
std::optional<std::string> nameOfComponent(std::string_view component, std::span<const std::string_view> parents) {
    const bool scope = endsWith(component, ".scope");
    const std::string_view stem = scope ? component.substr(0, component.size() - 6) : component;
    static constexpr std::array<std::string_view, 6> kIdPrefixes = {
        "docker-", "libpod-conmon-", "libpod-", "cri-containerd-", "crio-conmon-", "crio-"};
    for (const std::string_view prefix : kIdPrefixes)
        if (startsWith(stem, prefix)) return shownId(stem.substr(prefix.size()));
    if (scope && startsWith(stem, "machine-")) return sanitised(unescapedUnitName(stem.substr(8)));
    if (startsWith(component, "lxc.payload.")) return sanitised(component.substr(12));
    if (!parents.empty() && parents.back() == "lxc") return sanitised(component);
    if (isContainerId(component)) {
        for (const std::string_view parent : parents)
            if (parent == "docker" || parent == "libpod_parent" || startsWith(parent, "kubepods"))
                return shownId(component);
    }
    return std::nullopt;
}

std::optional<std::string> nameOfPath(std::string_view path) {
    std::vector<std::string_view> components;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view component = path.substr(0, slash);
        if (!component.empty()) components.push_back(component);
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    }
    for (std::size_t i = components.size(); i-- > 0;) {
        if (auto name = nameOfComponent(components[i], std::span(components).first(i))) return name;
    }
    return std::nullopt;
}

}  // namespace

// "0::/system.slice/docker-<id>.scope" (cgroup v2), "4:memory:/docker/<id>" (v1): id, controllers, path.
std::optional<std::string> containerNameFromCgroup(std::string_view text) {
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        const std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        const std::size_t first = line.find(':');
        if (first == std::string_view::npos) continue;
        const std::size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        if (auto name = nameOfPath(line.substr(second + 1))) return name;
    }
    return std::nullopt;
}

std::string foreignLabel(std::string_view executableLabel, const std::optional<std::string>& name,
                         std::uint32_t netnsInode) {
    std::string label(executableLabel);
    label += name ? " (" + *name + ")" : " (netns " + std::to_string(netnsInode) + ")";
    return label;
}

NetworkNamespaceNames::NetworkNamespaceNames(std::string directory) : m_directory(std::move(directory)) {}

std::optional<std::string> NetworkNamespaceNames::nameOf(std::uint32_t netnsInode, std::int64_t nowNs) {
    if (!m_read || nowNs - m_readNs >= kRefreshNs || nowNs < m_readNs) {
        refresh();
        m_read = true;
        m_readNs = nowNs;
    }
    const auto found = m_names.find(netnsInode);
    if (found == m_names.end()) return std::nullopt;
    return found->second;
}

// An entry that `ip netns` failed to mount stays an empty file of the
// directory's file system; its inode number is not one the kernel gives
// namespaces, so it names none.
void NetworkNamespaceNames::refresh() {
    m_names.clear();
    const std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir(m_directory.c_str()), closedir);
    if (!directory) return;
    while (const dirent* entry = readdir(directory.get())) {
        if (m_names.size() == kMaxNamespaceNames) break;
        auto name = sanitised(entry->d_name);
        if (!name || *name == "." || *name == "..") continue;
        struct stat status {};
        if (stat((m_directory + "/" + *name).c_str(), &status) != 0) continue;
        m_names.emplace(std::uint64_t(status.st_ino), std::move(*name));
    }
}

}  // namespace sondrel
