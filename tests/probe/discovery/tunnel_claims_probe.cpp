// Run by run_tunnel_claims_test.sh inside a network namespace whose tunnel
// interface NAME is up on UDP port PORT:
//   tunnel_claims_probe NAME PORT
// Discovery on the live /proc must claim PORT for "NAME tunnel" on both
// families and keep it so through further passes; once the interface is
// deleted, the port goes to the next socket that takes it, this program's.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/file_descriptor.h"
#include "probe/discovery/owner_scan_worker.h"
#include "probe/discovery/proc_files.h"

namespace {

using namespace sondrel;

struct RecordingSink final : ClaimSink {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<OwnerClaim> claims;

    void ownerClaims(std::span<const OwnerClaim> batch) override {
        {
            const std::scoped_lock guard(lock);
            claims.insert(claims.end(), batch.begin(), batch.end());
        }
        arrived.notify_all();
    }
    void claimsComplete(std::int64_t) override {}
    void discoveryEnded() override {}

    // The families whose latest claim of the port names `label`, once both do.
    bool waitForBoth(std::uint16_t port, const std::string& label, std::chrono::seconds timeout) {
        std::unique_lock guard(lock);
        return arrived.wait_for(guard, timeout, [&] { return latestCarries(port, label) == (kCarriesIpv4 | kCarriesIpv6); });
    }
    std::uint8_t latestCarries(std::uint16_t port, const std::string& label) const {
        std::uint8_t carries = 0;
        for (const OwnerClaim& claim : claims) {
            if (claim.protocol != 17 || claim.localPort != port) continue;
            if (claim.label == label && !claim.unreadable) {
                carries |= claim.carries;
            } else {
                carries &= std::uint8_t(~claim.carries);
            }
        }
        return carries;
    }
};

int fail(const char* what) {
    std::printf("FAIL: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s NAME PORT\n", argv[0]);
        return 2;
    }
    const std::string name = argv[1];
    const auto port = std::uint16_t(std::atoi(argv[2]));
    const std::string label = name + " tunnel";
    auto sink = std::make_shared<RecordingSink>();
    OwnerScanWorker worker("/proc", sink, std::make_shared<StderrNotifier>());
    if (worker.start() != 0) return fail("discovery did not start");

    if (!sink->waitForBoth(port, label, std::chrono::seconds(10))) return fail("no tunnel claim for the port");
    const std::uint64_t passes = worker.completedPasses();
    if (!worker.waitForPasses(passes + 3, std::chrono::seconds(10))) return fail("discovery stopped passing");
    if (sink->latestCarries(port, label) != (kCarriesIpv4 | kCarriesIpv6))
        return fail("a pass took the port from the tunnel");

    if (std::system(("ip link del " + name).c_str()) != 0) return fail("cannot delete the interface");
    const FileDescriptor socket(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    // The kernel may need a moment to let go of the tunnel's socket.
    bool bound = false;
    for (int attempt = 0; attempt < 50 && !bound; ++attempt) {
        bound = bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (!bound) worker.waitForPasses(worker.completedPasses() + 1, std::chrono::seconds(1));
    }
    if (!bound) return fail("the port stays taken after the interface went");
    const auto self = readLinkText("/proc/self/exe");
    if (!self || !sink->waitForBoth(port, *self, std::chrono::seconds(10)))
        return fail("the released port did not go to its next holder");
    std::printf("ok: %s held UDP %u, then its next holder did\n", label.c_str(), unsigned(port));
    return 0;
}
