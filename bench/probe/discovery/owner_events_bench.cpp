// What the owner-event probes cost the traffic of every process on the
// machine: UDP datagrams on loopback (send and receive in one thread, so
// both hooks run once per datagram) with no probes, with empty programs on
// the same hooks (what any program there costs), and with the probes in each
// hook mode this kernel offers. Root only; skipped otherwise.
#include <benchmark/benchmark.h>
#include <bpf/bpf.h>
#include <bpf/btf.h>
#include <bpf/libbpf.h>
#include <linux/bpf.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "probe/bpf/kernel_probes.h"
#include "probe/bpf/owner_events.h"

namespace sondrel {
namespace {

enum class Probes { None, Empty, Chosen, Tracepoints };

// Programs that only return, attached where the probes' per-packet programs
// attach: the cost of the hook itself, which the probes cannot avoid.
class EmptyPrograms {
public:
    explicit EmptyPrograms(const std::string& hooksInUse) {
        static const char* const perPacket[] = {"fentry/inet_sendmsg",  "fentry/inet6_sendmsg",
                                                "fentry/inet_recvmsg",  "fentry/inet6_recvmsg",
                                                "tp_btf/sock_send_length", "tp_btf/sock_recv_length"};
        const bpf::KernelBtf btf;
        for (const char* hook : perPacket) {
            if (hooksInUse.find(hook) == std::string::npos) continue;
            const std::string name(hook);
            const bool entry = name.starts_with("fentry/");
            const std::string target = name.substr(name.find('/') + 1);
            const int id = entry ? btf__find_by_name_kind(btf.get(), target.c_str(), BTF_KIND_FUNC)
                                 : btf__find_by_name_kind(btf.get(), ("btf_trace_" + target).c_str(), BTF_KIND_TYPEDEF);
            const bpf_insn program[] = {{BPF_ALU64 | BPF_MOV | BPF_K, BPF_REG_0, 0, 0, 0}, {BPF_JMP | BPF_EXIT, 0, 0, 0, 0}};
            LIBBPF_OPTS(bpf_prog_load_opts, options);
            options.expected_attach_type = entry ? BPF_TRACE_FENTRY : BPF_TRACE_RAW_TP;
            options.attach_btf_id = static_cast<__u32>(id);
            const int fd = bpf_prog_load(BPF_PROG_TYPE_TRACING, "empty", "Dual BSD/GPL", program, 2, &options);
            if (fd < 0) continue;
            m_links.push_back(bpf_raw_tracepoint_open(nullptr, fd));
            close(fd);
        }
    }
    ~EmptyPrograms() {
        for (const int link : m_links) close(link);
    }
    EmptyPrograms(const EmptyPrograms&) = delete;
    EmptyPrograms& operator=(const EmptyPrograms&) = delete;

    std::size_t attached() const { return m_links.size(); }

private:
    std::vector<int> m_links;
};

// Opens the probes or marks the benchmark skipped; nullptr in both the
// "none" case and the skipped one.
std::unique_ptr<BpfOwnerEvents> openProbes(benchmark::State& state, Probes probes) {
    if (probes == Probes::None || probes == Probes::Empty) return nullptr;
    BpfOwnerEventsOptions options;
    options.withoutTrampolines = probes == Probes::Tracepoints;
    std::string whyNot;
    auto events = BpfOwnerEvents::open(whyNot, options);
    if (!events) {
        state.SkipWithError(whyNot.c_str());
    } else {
        const auto hooks = events->hooksInUse();
        state.SetLabel(hooks.find("fentry/") != std::string::npos ? "trampolines" : "tracepoints");
    }
    return events;
}

// Run time the kernel measured inside the per-packet programs (sysctl
// kernel.bpf_stats_enabled): the probes' own cost, which the wall-clock
// figures of a busy machine cannot resolve. Measuring adds two clock reads
// to every run (about 45 ns on the development VM, far more under
// emulation), so the round-trip times are taken in runs without it.
class ProbeRunTime {
public:
    explicit ProbeRunTime(bool enabled) : m_enabled(enabled) {
        if (m_enabled) writeStatsEnabled("1");
    }
    ~ProbeRunTime() {
        if (m_enabled) writeStatsEnabled("0");
    }
    ProbeRunTime(const ProbeRunTime&) = delete;
    ProbeRunTime& operator=(const ProbeRunTime&) = delete;

    // Nanoseconds and runs summed over the send and receive programs loaded now.
    static std::pair<std::uint64_t, std::uint64_t> perPacketPrograms() {
        static const char* const names[] = {"sock_sent", "sock_received", "inet_send", "inet6_send", "inet_receive", "inet6_receive"};
        std::uint64_t ns = 0, runs = 0;
        for (__u32 id = 0; bpf_prog_get_next_id(id, &id) == 0;) {
            const int fd = bpf_prog_get_fd_by_id(id);
            if (fd < 0) continue;
            bpf_prog_info info{};
            __u32 length = sizeof info;
            if (bpf_obj_get_info_by_fd(fd, &info, &length) == 0) {
                for (const char* name : names) {
                    if (std::strcmp(info.name, name) == 0) {
                        ns += info.run_time_ns;
                        runs += info.run_cnt;
                    }
                }
            }
            close(fd);
        }
        return {ns, runs};
    }

private:
    static void writeStatsEnabled(const char* value) { std::ofstream("/proc/sys/kernel/bpf_stats_enabled") << value; }

    bool m_enabled;
};

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int boundReceiver(sockaddr_in& address) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    address = loopback(0);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return fd;
}

// Socket events of this process, counted from the moment the loop starts.
struct OwnEvents {
    std::size_t count = 0;
    void operator()(const OwnerEvent& event) {
        if (event.tgid == std::uint32_t(getpid()) && std::holds_alternative<SocketClaim>(event.detail)) ++count;
    }
};

// One busy socket: after its first datagram, the probes' per-packet path
// (one look-up) is all that runs; its events should stay at 2 (the sender's
// first send, the receiver's first receive). Argument 1: measure the
// programs' run time too.
void BM_UdpRoundTrip(benchmark::State& state, Probes probes) {
    auto events = openProbes(state, probes);
    if (probes != Probes::None && probes != Probes::Empty && !events) return;
    std::unique_ptr<EmptyPrograms> empty;
    if (probes == Probes::Empty) {
        std::string whyNot;
        const auto chosen = BpfOwnerEvents::open(whyNot);
        if (!chosen) return state.SkipWithError(whyNot.c_str());
        empty = std::make_unique<EmptyPrograms>(chosen->hooksInUse());
        state.counters["empty_programs"] = double(empty->attached());
    }
    sockaddr_in address;
    const int receiver = boundReceiver(address);
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    connect(sender, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    char buffer[64] = {};
    OwnEvents own;
    const bool measured = state.range(0) != 0;
    const ProbeRunTime stats(measured);
    const auto before = ProbeRunTime::perPacketPrograms();
    for (auto _ : state) {
        send(sender, buffer, 32, 0);
        recv(receiver, buffer, sizeof buffer, 0);
    }
    if (events && measured) {
        const auto after = ProbeRunTime::perPacketPrograms();
        if (after.second > before.second) {
            state.counters["probe_ns_per_run"] = double(after.first - before.first) / double(after.second - before.second);
        }
        state.counters["probe_runs_per_datagram"] = double(after.second - before.second) / double(state.iterations());
    }
    if (events) {
        events->poll(std::ref(own));
        state.counters["own_events"] = double(own.count);
        state.counters["lost"] = double(events->lostRecords());
    }
    state.SetItemsProcessed(state.iterations());
    close(sender);
    close(receiver);
}

// A new socket for every datagram: each one takes the probes' slow path and
// queues a record, which is read and parsed here as the capture helper
// would, so this is the full cost of one reported socket.
void BM_NewSocketPerDatagram(benchmark::State& state, Probes probes) {
    auto events = openProbes(state, probes);
    if (probes != Probes::None && !events) return;
    sockaddr_in address;
    const int receiver = boundReceiver(address);
    char buffer[64] = {};
    OwnEvents own;
    std::size_t sent = 0;
    for (auto _ : state) {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sendto(fd, buffer, 32, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        close(fd);
        recv(receiver, buffer, sizeof buffer, 0);
        if (events && ++sent % 256 == 0) events->poll(std::ref(own));
    }
    if (events) {
        events->poll(std::ref(own));
        state.counters["own_events_per_datagram"] = double(own.count) / double(state.iterations());
        state.counters["lost"] = double(events->lostRecords());
    }
    state.SetItemsProcessed(state.iterations());
    close(receiver);
}

BENCHMARK_CAPTURE(BM_UdpRoundTrip, no_probes, Probes::None)->Arg(0)->Iterations(1'000'000)->UseRealTime();
BENCHMARK_CAPTURE(BM_UdpRoundTrip, empty_programs, Probes::Empty)->Arg(0)->Iterations(1'000'000)->UseRealTime();
BENCHMARK_CAPTURE(BM_UdpRoundTrip, probes, Probes::Chosen)->Arg(0)->Arg(1)->Iterations(1'000'000)->UseRealTime();
BENCHMARK_CAPTURE(BM_UdpRoundTrip, tracepoints, Probes::Tracepoints)->Arg(0)->Arg(1)->Iterations(1'000'000)->UseRealTime();
BENCHMARK_CAPTURE(BM_NewSocketPerDatagram, no_probes, Probes::None)->Iterations(100'000)->UseRealTime();
BENCHMARK_CAPTURE(BM_NewSocketPerDatagram, probes, Probes::Chosen)->Iterations(100'000)->UseRealTime();
BENCHMARK_CAPTURE(BM_NewSocketPerDatagram, tracepoints, Probes::Tracepoints)->Iterations(100'000)->UseRealTime();

}  // namespace
}  // namespace sondrel

BENCHMARK_MAIN();
