#include "probe/discovery/namespace_names.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace sondrel {
namespace {

const std::string kId = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

TEST(ContainerNameFromCgroup, NamesTheContainerManagersCgroups) {
    const struct {
        const char* name;
        std::string text;
        std::optional<std::string> expected;
    } rows[] = {
        {"docker under systemd", "0::/system.slice/docker-" + kId + ".scope\n", "0123456789ab"},
        {"docker with cgroupfs, v1 lines", "12:memory:/docker/" + kId + "\n11:cpu,cpuacct:/docker/" + kId + "\n",
         "0123456789ab"},
        {"podman payload", "0::/machine.slice/libpod-" + kId + ".scope/container", "0123456789ab"},
        {"kubernetes with containerd",
         "0::/kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod1f.slice/cri-containerd-" + kId + ".scope",
         "0123456789ab"},
        {"kubernetes with cgroupfs", "1:name=systemd:/kubepods/besteffort/pod1f/" + kId, "0123456789ab"},
        {"lxc payload", "0::/lxc.payload.web-1/init.scope", "web-1"},
        {"older lxc", "3:cpu:/lxc/db_2", "db_2"},
        {"nspawn with escapes", "0::/machine.slice/machine-my\\x2dbox.scope/payload", "my-box"},
        {"docker inside lxc is the inner one", "0::/lxc.payload.outer/system.slice/docker-" + kId + ".scope",
         "0123456789ab"},
        {"a host session", "0::/user.slice/user-1000.slice/session-2.scope", std::nullopt},
        {"the docker daemon itself", "0::/system.slice/docker.service", std::nullopt},
        {"short id", "0::/system.slice/docker-0123abc.scope", std::nullopt},
        {"bare id outside a manager's tree", "0::/system.slice/" + kId, std::nullopt},
        {"name with a blank", "0::/lxc.payload.a b/init.scope", std::nullopt},
        {"name beyond 64 bytes", "0::/lxc.payload." + std::string(65, 'a'), std::nullopt},
        {"escape to a slash", "0::/machine.slice/machine-a\\x2fb.scope", std::nullopt},
    };
    for (const auto& row : rows) EXPECT_EQ(containerNameFromCgroup(row.text), row.expected) << row.name;
}

TEST(NetworkNamespaceNames, NamesEntriesByInodeAndRereadsOncePerSecond) {
    const auto directory = std::filesystem::path(testing::TempDir()) / "netns_names";
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    const auto inodeOf = [&](const char* name) {
        std::ofstream(directory / name).put('x');
        struct stat status {};
        stat((directory / name).c_str(), &status);
        return std::uint32_t(status.st_ino);
    };
    const std::uint32_t blue = inodeOf("blue");
    NetworkNamespaceNames names(directory.string());
    EXPECT_EQ(names.nameOf(blue, 0), "blue");
    const std::uint32_t red = inodeOf("red");
    EXPECT_EQ(names.nameOf(red, 500'000'000), std::nullopt);
    EXPECT_EQ(names.nameOf(red, 1'000'000'000), "red");
    std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace sondrel
