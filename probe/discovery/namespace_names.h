#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace sondrel {

// The container a process runs in, from the text of its /proc/<pid>/cgroup,
// as the container managers name their cgroups:
//   docker       .../docker-<id>.scope, /docker/<id>
//   podman       .../libpod-<id>.scope, .../libpod-conmon-<id>.scope, /libpod_parent/libpod-<id>
//   kubernetes   kubepods.../cri-containerd-<id>.scope, .../crio-<id>.scope, /kubepods/.../<id>
//   LXC          /lxc.payload.<name>/..., /lxc/<name>/...
//   nspawn       /machine.slice/machine-<name>.scope (systemd's \xNN escapes undone)
// A container id (64 hex digits) is named by its first 12, as the managers
// show it. The deepest such component of the first line that has one wins,
// so a container inside a container is named by the inner one. nullopt for
// a process outside any container, and for a name that is not 1 to 64 of the
// letters, digits, '-', '_' and '.' of ASCII.
std::optional<std::string> containerNameFromCgroup(std::string_view procPidCgroupText);

// "<executable> (<name>)", or "<executable> (netns <inode>)" without a name:
// the label of a program in another network namespace.
std::string foreignLabel(std::string_view executableLabel, const std::optional<std::string>& name,
                         std::uint32_t netnsInode);

// The names `ip netns` gave network namespaces: each entry of its directory
// is a namespace's bind mount, whose inode is the namespace's. The directory
// is read again at most once a second, and at most 256 names are kept.
class NetworkNamespaceNames {
public:
    explicit NetworkNamespaceNames(std::string directory = "/run/netns");

    // nullopt for a namespace without a name (a container runtime's own).
    std::optional<std::string> nameOf(std::uint32_t netnsInode, std::int64_t nowNs);

private:
    void refresh();

    std::string m_directory;
    std::unordered_map<std::uint64_t, std::string> m_names;  // by inode
    std::int64_t m_readNs = 0;
    bool m_read = false;
};

}  // namespace sondrel
