// Runs against the live /proc of this machine: the test process owns the
// sockets it looks up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "base/text.h"
#include "tests/support/owner_discovery.h"
#include "probe/discovery/proc_files.h"
#include "probe/discovery/process_label.h"

namespace sondrel {
namespace {

struct LoopbackSocket {
    explicit LoopbackSocket(int type) : fd(socket(AF_INET, type | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (!fd.valid() || bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
        if (type == SOCK_STREAM && listen(fd.get(), 4) != 0) return;
        socklen_t length = sizeof address;
        if (getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0) port = ntohs(address.sin_port);
    }
    FileDescriptor fd;
    std::uint16_t port = 0;
};

TEST(OwnerDiscoveryIntegration, FindsOwnExecutableAsOwnerOfOwnSockets) {
    const LoopbackSocket listener(SOCK_STREAM);
    const LoopbackSocket datagram(SOCK_DGRAM);
    ASSERT_NE(listener.port, 0);
    ASSERT_NE(datagram.port, 0);
    const auto selfPath = readLinkText("/proc/self/exe");
    ASSERT_TRUE(selfPath.has_value());
    const std::u16string expected = truncateUnits(utf8ToU16(*selfPath), kMaxLabelPathUnits);

    OwnerDiscovery discovery;
    ASSERT_EQ(discovery.StartOwnerDiscovery(), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::uint64_t passes = 0;
    // Other processes may hold the same port numbers on IPv6 or the other
    // protocol; the last row decides, so wait until both show this process.
    while (discovery.OwnerLookup(listener.port, 6) != expected || discovery.OwnerLookup(datagram.port, 17) != expected) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "labels: " << u16ToUtf8(discovery.OwnerLookup(listener.port, 6))
                                                             << ", " << u16ToUtf8(discovery.OwnerLookup(datagram.port, 17));
        ASSERT_TRUE(discovery.waitForPasses(++passes, std::chrono::seconds(30)));
    }
    EXPECT_EQ(discovery.OwnerLookup(listener.port, 6), expected);
    EXPECT_EQ(discovery.OwnerLookup(datagram.port, 17), expected);
}

}  // namespace
}  // namespace sondrel
