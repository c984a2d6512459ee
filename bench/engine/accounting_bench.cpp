#include <benchmark/benchmark.h>

#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "engine/accounting.h"
#include "engine/main_lists.h"
#include "engine/owners/owner_claims.h"
#include "base/text.h"
#include "tests/support/account_packet.h"

namespace sondrel {
namespace {

// The window's real claim table, one owner per port: application i owns port i.
struct FixedOwners {
    explicit FixedOwners(std::size_t apps) {
        std::vector<OwnerClaim> owned;
        for (std::size_t i = 0; i < apps; ++i)
            owned.push_back(OwnerClaim{OwnerClaims::kBeginning, 6, std::uint16_t(i), kCarriesIpv4 | kCarriesIpv6, false,
                                       "/usr/lib/application-number-" + std::to_string(i) + "/bin/program"});
        claims.add(owned);
    }
    OwnerClaims claims;
};

class NoResolvers final : public ResolverStarter {
public:
    void startResolver(const IpAddress&, EndpointRecord&) override {}
};

const std::uint32_t kLocal = htonl(0xC0A8010A);

// Packets spread over `apps` applications x `endpoints` remote addresses each.
// Real traffic comes in flows: `burst` consecutive packets share one flow, and
// flows follow each other in a scrambled order over the whole table (burst 1
// is the worst case: every packet lands on another row).
std::vector<PacketRecord> packets(std::size_t apps, std::size_t endpoints, std::size_t count, std::size_t burst = 1) {
    std::vector<PacketRecord> out;
    out.reserve(count);
    std::uint64_t x = 88172645463325252ull;
    std::size_t flow = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (i % burst == 0) {
            x ^= x << 13; x ^= x >> 7; x ^= x << 17;
            flow = count <= apps * endpoints ? i / burst : std::size_t(x % (apps * endpoints));
        }
        const auto app = std::uint16_t(flow % apps);
        const auto remote = htonl(0x0A000000u + std::uint32_t((flow / apps) % endpoints));
        if (i % 2) out.push_back({kLocal, remote, 1400, 443, app, 6});
        else out.push_back({remote, kLocal, 60, app, 443, 6});
    }
    return out;
}

// The accounting with its fakes, as every benchmark below needs it.
struct AccountingRig {
    explicit AccountingRig(std::size_t apps) : owners(apps) {}
    std::shared_ptr<RecordsState> records = std::make_shared<RecordsState>();
    FixedOwners owners;
    NoResolvers resolvers;
    std::atomic<std::uint32_t> localAddress{kLocal};
    LocalAddresses local{localAddress};
    TrafficAccountant accountant{records, owners.claims, resolvers, local};

    void account(const std::vector<PacketRecord>& work) {
        for (const auto& p : work) AccountPacket(accountant, p.srcAddr, p.dstAddr, p.length, p.dstPort, p.srcPort, p.protocol);
    }
};

void BM_AccountPacket(benchmark::State& state) {
    const auto apps = std::size_t(state.range(0));
    const auto endpoints = std::size_t(state.range(1));
    AccountingRig rig(apps);
    auto& accountant = rig.accountant;
    rig.account(packets(apps, endpoints, apps * endpoints));
    const auto work = packets(apps, endpoints, 1 << 16, std::size_t(state.range(2)));
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& p = work[i++ & 0xFFFF];
        AccountPacket(accountant, p.srcAddr, p.dstAddr, p.length, p.dstPort, p.srcPort, p.protocol);
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()));
}
BENCHMARK(BM_AccountPacket)->Args({10, 10, 1})->Args({1000, 100, 1})->Args({10, 10, 8})->Args({1000, 100, 8});

// The same traffic as whole records, over IPv4 (range(3) = 4) or with every
// address turned into an IPv6 one (range(3) = 6): what an IPv6 packet costs
// beside an IPv4 one.
std::vector<PacketRecord> asFamily(std::vector<PacketRecord> work, std::uint8_t family) {
    if (family == kFamilyIpv4) return work;
    const auto toIpv6 = [](std::uint32_t ipv4) {
        Ipv6Address address = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78};
        std::memcpy(address.data() + 12, &ipv4, 4);
        return address;
    };
    for (PacketRecord& p : work) {
        p.family = kFamilyIpv6;
        p.src6 = toIpv6(p.srcAddr);
        p.dst6 = toIpv6(p.dstAddr);
        p.srcAddr = p.dstAddr = 0;
    }
    return work;
}

void BM_AccountRecord(benchmark::State& state) {
    const auto apps = std::size_t(state.range(0));
    const auto endpoints = std::size_t(state.range(1));
    const auto family = std::uint8_t(state.range(3));
    AccountingRig rig(apps);
    rig.local.setIpv6({asFamily({PacketRecord{kLocal, kLocal}}, kFamilyIpv6)[0].src6});
    for (const auto& p : asFamily(packets(apps, endpoints, apps * endpoints), family)) rig.accountant.AccountPacket(p);
    const auto work = asFamily(packets(apps, endpoints, 1 << 16, std::size_t(state.range(2))), family);
    std::size_t i = 0;
    for (auto _ : state) rig.accountant.AccountPacket(work[i++ & 0xFFFF]);
    state.SetItemsProcessed(std::int64_t(state.iterations()));
}
BENCHMARK(BM_AccountRecord)
    ->Args({10, 10, 1, 4})->Args({10, 10, 1, 6})
    ->Args({1000, 100, 1, 4})->Args({1000, 100, 1, 6})
    ->Args({10, 10, 8, 4})->Args({10, 10, 8, 6})
    ->Args({1000, 100, 8, 4})->Args({1000, 100, 8, 6});

void BM_DrainMillion(benchmark::State& state) {
    AccountingRig rig(100);
    auto& accountant = rig.accountant;
    const auto work = packets(100, 50, 1000000);
    PacketQueue queue;
    for (auto _ : state) {
        state.PauseTiming();
        for (const auto& p : work) queue.records().push_back(p);
        state.ResumeTiming();
        accountant.drainQueue(queue);
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()) * 1000000);
}
BENCHMARK(BM_DrainMillion)->Unit(benchmark::kMillisecond);

void BM_RefreshApplications(benchmark::State& state) {
    const auto apps = std::size_t(state.range(0));
    AccountingRig rig(apps);
    rig.account(packets(apps, 2, apps * 2));
    MainLists lists(rig.records);
    lists.RefreshApplications();
    std::uint32_t grow = 1;
    for (auto _ : state) {
        state.PauseTiming();
        // Every application's counters change, so every row gets new texts.
        for (std::size_t i = 0; i < rig.records->table.size(); ++i) rig.records->table.app(i).dlBytes += (grow <<= 1) | 1024;
        state.ResumeTiming();
        lists.RefreshApplications();
    }
}
BENCHMARK(BM_RefreshApplications)->Arg(5000)->Unit(benchmark::kMicrosecond);

// The tick's refresh with both rate columns while Details follows a selected
// application with `range(1)` endpoints, every counter of it moving.
void BM_RefreshFollowingDetails(benchmark::State& state) {
    const auto apps = std::size_t(state.range(0));
    const auto endpoints = std::size_t(state.range(1));
    AccountingRig rig(apps);
    rig.account(packets(apps, 2, apps * 2));
    AppTable& table = rig.records->table;
    const std::size_t followed = table.appendApp(u"/usr/lib/followed/bin/program");
    for (std::size_t j = 0; j < endpoints; ++j)
        table.appendEndpoint(followed, EndpointRecord{std::uint16_t(1024 + j % 60000), 443, 0, 0, u"10.0.0.1", u"host.example",
                                                      htonl(0x0A000000u + std::uint32_t(j)), u"TCP:", {}, false});
    MainLists lists(rig.records);
    lists.RefreshApplications();
    lists.SelectApplicationRow(0);
    std::uint32_t grow = 1;
    for (auto _ : state) {
        state.PauseTiming();
        grow = grow * 3 + 1024;
        for (std::size_t i = 0; i < table.size(); ++i) table.app(i).dlBytes += grow;
        for (EndpointRecord& e : table.app(followed).endpoints) e.dlBytes += grow;
        state.ResumeTiming();
        lists.RefreshApplications();
    }
    state.counters["details"] = double(lists.details().rowCount());
}
BENCHMARK(BM_RefreshFollowingDetails)->Args({5000, 100})->Args({5000, 5000})->Unit(benchmark::kMicrosecond);

void BM_TickHundredThousandPackets(benchmark::State& state) {
    AccountingRig rig(1000);
    auto& accountant = rig.accountant;
    MainLists lists(rig.records);
    const auto work = packets(1000, 20, 100000);
    PacketQueue queue;
    for (auto _ : state) {
        state.PauseTiming();
        for (const auto& p : work) queue.records().push_back(p);
        state.ResumeTiming();
        accountant.drainQueue(queue);
        lists.RefreshApplications();
    }
}
BENCHMARK(BM_TickHundredThousandPackets)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace sondrel

BENCHMARK_MAIN();
