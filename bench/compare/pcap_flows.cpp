// The independent truth of the side-by-side run: tcpdump's file of the
// interface, summed per local port, protocol and direction.
//   compare_pcap_flows FILE LOCAL_ADDR
// Prints one line per flow (IP bytes are IPv4 total lengths, frames as many):
//   flow <TAB> LOCAL_PORT <TAB> PROTOCOL <TAB> sent|received <TAB> IP_BYTES <TAB> FRAMES
// and a last line "file <TAB> RECORDS <TAB> FOREIGN <TAB> LINK_TYPE".
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>

#include "tests/e2e/monitor_harness.h"
#include "tests/e2e/pcap_totals.h"

using namespace sondrel::e2e;

namespace {

// A read-only mapping of a whole file, unmapped on every way out.
class MappedFile {
public:
    explicit MappedFile(const char* path) {
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        struct stat status {};
        if (::fstat(fd, &status) == 0 && status.st_size > 0) {
            void* data = ::mmap(nullptr, static_cast<std::size_t>(status.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
            if (data != MAP_FAILED) {
                m_data = data;
                m_size = static_cast<std::size_t>(status.st_size);
            }
        }
        ::close(fd);
    }
    ~MappedFile() {
        if (m_data != nullptr) ::munmap(m_data, m_size);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    std::string_view bytes() const { return {static_cast<const char*>(m_data), m_size}; }

private:
    void* m_data = nullptr;
    std::size_t m_size = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const std::optional<std::uint32_t> local = argc == 3 ? parseAddress(argv[2]) : std::nullopt;
    if (!local) {
        std::fprintf(stderr, "usage: compare_pcap_flows FILE LOCAL_ADDR\n");
        return 2;
    }
    const MappedFile file(argv[1]);
    const PcapTotals totals = sumPcapFile(file.bytes(), *local);
    if (!totals.readable) {
        std::fprintf(stderr, "compare_pcap_flows: %s: %s\n", argv[1], totals.problem.c_str());
        return 1;
    }
    for (const auto& [key, tally] : totals.flows) {
        std::printf("flow\t%u\t%u\t%s\t%llu\t%llu\n", key.localPort, key.protocol, key.sent ? "sent" : "received",
                    static_cast<unsigned long long>(tally.bytes), static_cast<unsigned long long>(tally.packets));
    }
    std::printf("file\t%llu\t%llu\t%u\n", static_cast<unsigned long long>(totals.records),
                static_cast<unsigned long long>(totals.foreignPackets), totals.linkType);
    return 0;
}
