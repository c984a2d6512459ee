#include "probe/bpf/owner_events.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <utility>

#include "probe/bpf/kernel_probes.h"
#include "probe/bpf/libbpf_log.h"
#include "owner_events.skel.h"

namespace sondrel {

namespace {

using bpf::AttachKind;

struct Hook {
    const char* program;  // in owner_events.bpf.c
    const char* target;
    AttachKind kind;
};

// One thing the probes must see, with the hook sets that can see it, best
// first. A set is taken when every hook of it can attach.
struct Role {
    const char* what;
    bool required;
    std::vector<std::vector<Hook>> choices;
};

// Trampolines (fentry/fexit, Linux 5.5 with BPF trampoline support, so also
// Debian 12's 6.1) come first: their send and receive hooks run at the call's
// start, so a first use is dated before the packet it sends or waits for, and
// the port hooks see a socket get its port before any packet. The tracepoints
// are for kernels without trampolines: sock_send_length and sock_recv_length
// (Linux 6.3) fire when the call returns.
const std::vector<Role>& roles() {
    static const std::vector<Role> table = {
        {"exec", true, {{{"process_exec", "sched_process_exec", AttachKind::Tracepoint}}}},
        {"fork", true, {{{"process_fork", "sched_process_fork", AttachKind::Tracepoint}}}},
        {"exit", true, {{{"process_exit", "sched_process_exit", AttachKind::Tracepoint}}}},
        {"send",
         true,
         {{{"inet_send", "inet_sendmsg", AttachKind::Entry}, {"inet6_send", "inet6_sendmsg", AttachKind::Entry}},
          {{"sock_sent", "sock_send_length", AttachKind::Tracepoint}}}},
        {"receive",
         true,
         {{{"inet_receive", "inet_recvmsg", AttachKind::Entry}, {"inet6_receive", "inet6_recvmsg", AttachKind::Entry}},
          {{"sock_received", "sock_recv_length", AttachKind::Tracepoint}}}},
        {"TCP connect",
         true,
         {{{"tcp_connect_port", "__inet_hash_connect", AttachKind::Exit}},
          {{"tcp_state_changed", "inet_sock_set_state", AttachKind::Tracepoint}}}},
        {"TCP bind and listen",
         true,
         {{{"tcp_port_taken", "inet_csk_get_port", AttachKind::Exit}},
          {{"tcp_state_changed", "inet_sock_set_state", AttachKind::Tracepoint}}}},
        // Without these, the first send or receive names the process.
        {"UDP bind", false, {{{"udp_port_taken", "udp_lib_get_port", AttachKind::Exit}}}},
        {"TCP accept", false, {{{"tcp_accepted", "inet_accept", AttachKind::Exit}}}},
        {"packet-socket send",
         false,
         {{{"packet_send", "packet_sendmsg", AttachKind::Entry}}, {{"sock_sent", "sock_send_length", AttachKind::Tracepoint}}}},
        // Without it, the kernel's flow counter joins a UDP port's next
        // program's first datagrams to the flow of its last one.
        {"UDP sender change", false, {{{"udp_sender", "net_dev_queue", AttachKind::Tracepoint}}}},
    };
    return table;
}

std::string hookName(const Hook& hook) {
    const char* prefix = hook.kind == AttachKind::Tracepoint ? "tp_btf/" : hook.kind == AttachKind::Entry ? "fentry/" : "fexit/";
    return prefix + std::string(hook.target);
}

std::string errorText(int negativeErrno) {
    return std::strerror(-negativeErrno);
}

bool isPermissionError(int negativeErrno) {
    return negativeErrno == -EPERM || negativeErrno == -EACCES;
}

const char* const kPrivilegeHint = "eBPF owner events need CAP_BPF and CAP_PERFMON (or root)";

// Picks, per role, the first hook set whose hooks all attach, probing each
// hook once however many roles or calls ask for it.
class HookChooser {
public:
    explicit HookChooser(const bpf::KernelBtf& btf) : m_btf(btf) {}

    // Hooks for every required role (and the optional ones the kernel has),
    // trampolines allowed or not; empty with `whyNot` set when a required
    // role has none.
    std::optional<std::vector<const Hook*>> choose(bool trampolines, std::string& whyNot) {
        std::vector<const Hook*> chosen;
        for (const auto& role : roles()) {
            std::string tried;
            const std::vector<Hook>* found = nullptr;
            for (const auto& choice : role.choices) {
                const auto failed = std::find_if(choice.begin(), choice.end(), [&](const Hook& hook) {
                    const int result = attachable(hook, trampolines);
                    if (result != 0) tried += (tried.empty() ? "" : ", ") + hookName(hook) + " (" + errorText(result) + ")";
                    return result != 0;
                });
                if (m_permissionDenied) {
                    whyNot = std::string(kPrivilegeHint) + ": loading a trial program was refused (" + tried + ")";
                    return std::nullopt;
                }
                if (failed == choice.end()) {
                    found = &choice;
                    break;
                }
            }
            if (found != nullptr) {
                for (const auto& hook : *found) chosen.push_back(&hook);
            } else if (role.required) {
                whyNot = std::string("the kernel offers no hook for ") + role.what + ": tried " + tried +
                         " (BPF trampolines, or Linux 6.3's sock_send_length and sock_recv_length tracepoints, are needed)";
                return std::nullopt;
            }
        }
        return chosen;
    }

    bool permissionDenied() const { return m_permissionDenied; }

private:
    int attachable(const Hook& hook, bool trampolines) {
        if (!trampolines && hook.kind != AttachKind::Tracepoint) return -EOPNOTSUPP;
        const auto name = hookName(hook);
        for (const auto& [known, result] : m_probed) {
            if (known == name) return result;
        }
        const int result = bpf::probeAttach(m_btf, hook.target, hook.kind);
        // Refused before any trial program loaded: no privilege. Refused
        // after: this kernel forbids that kind of hook (some refuse
        // trampolines with EPERM).
        const bool anyLoaded = std::any_of(m_probed.begin(), m_probed.end(), [](const auto& p) { return p.second == 0; });
        if (isPermissionError(result) && !anyLoaded) m_permissionDenied = true;
        m_probed.emplace_back(name, result);
        return result;
    }

    const bpf::KernelBtf& m_btf;
    std::vector<std::pair<std::string, int>> m_probed;
    bool m_permissionDenied = false;
};

struct LoadPlan {
    const std::vector<const Hook*>& hooks;
    std::uint32_t netns;
    std::uint32_t ownNetns;
    bool ringBuffer;
    bool bootClock;
    bool socketStorage;
};

// Opens, configures, loads and attaches the probes; nullptr with `error` set
// on failure.
owner_events_bpf* loadProbes(const LoadPlan& plan, std::string& error) {
    auto* skeleton = owner_events_bpf__open();
    if (skeleton == nullptr) {
        error = "opening the owner-event probes failed (" + errorText(-errno) + ")";
        return nullptr;
    }
    bool stateProgram = false;
    bpf_program* program = nullptr;
    bpf_object__for_each_program(program, skeleton->obj) {
        const auto* name = bpf_program__name(program);
        const bool use = std::any_of(plan.hooks.begin(), plan.hooks.end(),
                                     [&](const Hook* hook) { return std::strcmp(hook->program, name) == 0; });
        bpf_program__set_autoload(program, use);
        if (use && program == skeleton->progs.tcp_state_changed) stateProgram = true;
    }
    bpf_map__set_autocreate(skeleton->maps.pending_connects, stateProgram);
    bpf_map__set_autocreate(skeleton->maps.socket_users, plan.socketStorage);
    bpf_map__set_autocreate(skeleton->maps.last_users, !plan.socketStorage);

    skeleton->rodata->netns_filter = plan.netns;
    skeleton->rodata->own_netns = plan.ownNetns;
    skeleton->rodata->use_ringbuf = plan.ringBuffer;
    skeleton->rodata->use_boot_clock = plan.bootClock;
    skeleton->rodata->use_sk_storage = plan.socketStorage;
    if (!plan.ringBuffer) {
        bpf_map__set_type(skeleton->maps.events, BPF_MAP_TYPE_PERF_EVENT_ARRAY);
        bpf_map__set_key_size(skeleton->maps.events, sizeof(int));
        bpf_map__set_value_size(skeleton->maps.events, sizeof(int));
        bpf_map__set_max_entries(skeleton->maps.events, static_cast<__u32>(std::max(1, libbpf_num_possible_cpus())));
    }
    if (const int err = owner_events_bpf__load(skeleton); err != 0) {
        error = "loading the owner-event probes failed (" + errorText(err) + ")";
    } else if (const int err = owner_events_bpf__attach(skeleton); err != 0) {
        error = "attaching the owner-event probes failed (" + errorText(err) + ")";
    } else {
        return skeleton;
    }
    owner_events_bpf__destroy(skeleton);
    return nullptr;
}

// The inode of this process's network namespace; empty with `whyNot`
// set when this process's own cannot be told.
std::optional<std::uint32_t> ownNamespace(std::string& whyNot) {
    struct stat own {};
    if (stat("/proc/self/ns/net", &own) != 0) {
        whyNot = "cannot tell this process's network namespace (/proc/self/ns/net: " + errorText(-errno) + ")";
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(own.st_ino);
}

// The distinct hook sets to try, trampolines first; empty with `whyNot` set
// when no set covers every required role or privileges lack.
std::vector<std::vector<const Hook*>> chooseHookSets(const bpf::KernelBtf& btf, const BpfOwnerEventsOptions& options,
                                                     std::string& whyNot) {
    HookChooser chooser(btf);
    std::vector<std::vector<const Hook*>> hookSets;
    std::string whyNoHooks;
    for (const bool trampolines : {true, false}) {
        if (trampolines && options.withoutTrampolines) continue;
        std::string why;
        auto hooks = chooser.choose(trampolines, why);
        if (chooser.permissionDenied()) {
            whyNot = why;
            return {};
        }
        if (whyNoHooks.empty()) whyNoHooks = why;
        if (hooks && std::find(hookSets.begin(), hookSets.end(), *hooks) == hookSets.end()) {
            hookSets.push_back(std::move(*hooks));
        }
    }
    if (hookSets.empty()) whyNot = whyNoHooks;
    return hookSets;
}

struct LoadedProbes {
    owner_events_bpf* skeleton = nullptr;
    const std::vector<const Hook*>* hooks = nullptr;
    bool socketStorage = false;
};

// Should a program the trial loads accepted be refused after all, the next
// plan may still load: tracepoints instead of trampolines, and socket storage
// (Linux 5.11 lets tracing programs use it) replaced by a hash map. No
// skeleton, with the first failure and libbpf's log in `whyNot`, when none
// loads.
LoadedProbes loadFirstPlan(const std::vector<std::vector<const Hook*>>& hookSets, std::uint32_t netns,
                           std::uint32_t ownNetns, bool ringBuffer,
                           bool bootClock, const BpfOwnerEventsOptions& options, const std::string& log,
                           std::string& whyNot) {
    std::string failure;
    for (const auto& hooks : hookSets) {
        for (const bool socketStorage : {true, false}) {
            if (socketStorage && options.withoutSocketStorage) continue;
            const LoadPlan plan{hooks, netns, ownNetns, ringBuffer, bootClock, socketStorage};
            std::string error;
            if (auto* skeleton = loadProbes(plan, error)) return {skeleton, &hooks, socketStorage};
            if (failure.empty()) failure = bpf::withLog(error, log);
        }
    }
    whyNot = failure;
    return {};
}

// Hook names in first-use order, each once.
std::vector<std::string> distinctHookNames(const std::vector<const Hook*>& hooks) {
    std::vector<std::string> names;
    for (const auto* hook : hooks) {
        const auto name = hookName(*hook);
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    return names;
}

}  // namespace

std::unique_ptr<BpfOwnerEvents> BpfOwnerEvents::open(std::string& whyNot, const BpfOwnerEventsOptions& options) {
    std::string log;
    bpf::LibbpfLogCapture capture(log);

    const bpf::KernelBtf btf;
    if (!btf.valid()) {
        whyNot = "the kernel publishes no BTF (/sys/kernel/btf/vmlinux: " + errorText(btf.error()) +
                 "); eBPF owner events need a kernel built with CONFIG_DEBUG_INFO_BTF";
        return nullptr;
    }
    const int ring = bpf::probeRingBuffer();
    if (isPermissionError(ring)) {
        whyNot = std::string(kPrivilegeHint) + ": creating a BPF map was refused (" + errorText(ring) + ")";
        return nullptr;
    }
    const bool useRing = ring == 0 && !options.withPerfBuffer;

    const auto own = ownNamespace(whyNot);
    if (!own) return nullptr;
    const std::uint32_t netns = options.networkNamespace.value_or(*own);
    const auto hookSets = chooseHookSets(btf, options, whyNot);
    if (hookSets.empty()) return nullptr;

    std::unique_ptr<BpfOwnerEvents> self(new BpfOwnerEvents());
    self->m_clock = ring == 0 ? EventClock::Boot : EventClock::Monotonic;
    const LoadedProbes loaded =
        loadFirstPlan(hookSets, netns, *own, useRing, self->m_clock == EventClock::Boot, options, log, whyNot);
    if (loaded.skeleton == nullptr) return nullptr;
    self->m_skeleton = loaded.skeleton;
    self->m_socketStorage = loaded.socketStorage;
    self->m_hooks = distinctHookNames(*loaded.hooks);

    if (!self->openEventBuffer(useRing)) {
        whyNot = bpf::withLog("mapping the owner-event buffer failed (" + errorText(-errno) + ")", log);
        return nullptr;
    }
    whyNot.clear();
    return self;
}

bool BpfOwnerEvents::openEventBuffer(bool ringBuffer) {
    const int eventsFd = bpf_map__fd(m_skeleton->maps.events);
    if (ringBuffer) {
        m_ring = ring_buffer__new(eventsFd, &BpfOwnerEvents::onRingRecord, this, nullptr);
    } else {
        perf_buffer_opts perfOptions{};
        perfOptions.sz = sizeof perfOptions;
        m_perf = perf_buffer__new(eventsFd, 64, &BpfOwnerEvents::onPerfSample, &BpfOwnerEvents::onPerfLost, this,
                                  &perfOptions);
    }
    return m_ring != nullptr || m_perf != nullptr;
}

BpfOwnerEvents::~BpfOwnerEvents() {
    ring_buffer__free(m_ring);
    perf_buffer__free(m_perf);
    owner_events_bpf__destroy(m_skeleton);
}

int BpfOwnerEvents::pollFd() const {
    return m_ring != nullptr ? ring_buffer__epoll_fd(m_ring) : perf_buffer__epoll_fd(m_perf);
}

std::size_t BpfOwnerEvents::poll(const Sink& deliver) {
    m_sink = &deliver;
    m_delivered = 0;
    m_failure = nullptr;
    m_offsetNs = realtimeOffsetNs(m_clock);
    if (m_ring != nullptr) {
        ring_buffer__consume(m_ring);
    } else {
        perf_buffer__consume(m_perf);
    }
    m_sink = nullptr;
    if (m_failure) std::rethrow_exception(std::exchange(m_failure, nullptr));
    return m_delivered;
}

int BpfOwnerEvents::deliverRecord(std::span<const std::byte> record) {
    // A perf buffer cannot be stopped mid-batch: what follows a failure is dropped.
    if (m_failure) return -1;
    OwnerEvent event;
    if (parseOwnerRecord(record, event) != OwnerRecordStatus::Ok) {
        ++m_malformed;
        return 0;
    }
    event.timeNs = eventTimeToRealtimeNs(event.kernelTimeNs, m_offsetNs);
    try {
        (*m_sink)(event);
    } catch (...) {
        m_failure = std::current_exception();
        return -1;
    }
    ++m_delivered;
    return 0;
}

int BpfOwnerEvents::onRingRecord(void* self, void* data, std::size_t size) {
    return static_cast<BpfOwnerEvents*>(self)->deliverRecord({static_cast<const std::byte*>(data), size});
}

void BpfOwnerEvents::onPerfSample(void* self, int, void* data, std::uint32_t size) {
    static_cast<BpfOwnerEvents*>(self)->deliverRecord({static_cast<const std::byte*>(data), size});
}

void BpfOwnerEvents::onPerfLost(void* self, int, unsigned long long count) {
    static_cast<BpfOwnerEvents*>(self)->m_perfLost += count;
}

std::string BpfOwnerEvents::hooksInUse() const {
    std::string text;
    for (const auto& hook : m_hooks) text += (text.empty() ? "" : ", ") + hook;
    text += m_socketStorage ? "; socket storage" : "; LRU hash";
    text += m_ring != nullptr ? "; ring buffer" : "; perf buffer";
    text += m_clock == EventClock::Boot ? "; CLOCK_BOOTTIME" : "; CLOCK_MONOTONIC";
    return text;
}

int BpfOwnerEvents::portSendersFd() const {
    return bpf_map__fd(m_skeleton->maps.port_senders);
}

int BpfOwnerEvents::packetSendSeenFd() const {
    return bpf_map__fd(m_skeleton->maps.packet_send_seen);
}

bool BpfOwnerEvents::packetSentWithin(std::int64_t windowNs) const {
    const std::uint32_t zero = 0;
    std::uint64_t sentNs = 0;
    if (bpf_map_lookup_elem(packetSendSeenFd(), &zero, &sentNs) != 0 || sentNs == 0) return false;
    timespec now{};
    clock_gettime(m_clock == EventClock::Boot ? CLOCK_BOOTTIME : CLOCK_MONOTONIC, &now);
    const std::int64_t nowNs = std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    return nowNs - std::int64_t(sentNs) < windowNs;
}

std::uint64_t BpfOwnerEvents::lostRecords() const {
    return __atomic_load_n(&m_skeleton->bss->lost_records, __ATOMIC_RELAXED) + m_perfLost;
}

}  // namespace sondrel
