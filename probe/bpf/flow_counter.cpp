#include "probe/bpf/flow_counter.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include "probe/bpf/event_clock.h"
#include "probe/bpf/flow_record.h"
#include "probe/bpf/libbpf_log.h"
#include "flow_counter.skel.h"

namespace sondrel {

namespace {

constexpr std::size_t kKeySize = sizeof(flow_key);
// The kernel lays per-CPU values out 8-byte aligned.
constexpr std::size_t kValueStride = (sizeof(flow_value) + 7) / 8 * 8;
constexpr std::uint64_t kIdleNs = 1'000'000'000;
constexpr std::uint32_t kBatchKeys = 4096;

std::string errorText(int negativeErrno) {
    return std::strerror(-negativeErrno);
}

std::uint64_t bootNowNs() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

// A flow's values summed over the CPUs.
struct Totals {
    std::uint64_t bytes = 0;
    std::uint64_t packets = 0;
    std::uint64_t lastNs = 0;
    std::uint64_t intervalFirstNs = 0;
};

// The interval starts at the earliest first packet after the previous epoch
// among the CPUs that saw the flow since; a CPU untouched since then keeps
// an older interval_first_ns that must not count.
Totals sumOverCpus(const unsigned char* values, int cpus, std::uint64_t previousEpochNs) {
    Totals totals;
    std::uint64_t moved = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t firstEver = moved;
    for (int cpu = 0; cpu < cpus; ++cpu) {
        flow_value value;
        std::memcpy(&value, values + static_cast<std::size_t>(cpu) * kValueStride, sizeof value);
        if (value.packets == 0) continue;
        totals.bytes += value.bytes;
        totals.packets += value.packets;
        totals.lastNs = std::max<std::uint64_t>(totals.lastNs, value.last_ns);
        firstEver = std::min<std::uint64_t>(firstEver, value.first_ns);
        if (value.last_ns >= previousEpochNs) moved = std::min<std::uint64_t>(moved, value.interval_first_ns);
    }
    if (totals.packets != 0) totals.intervalFirstNs = moved != std::numeric_limits<std::uint64_t>::max() ? moved : firstEver;
    return totals;
}

PacketRecord recordOf(const flow_key& key) {
    PacketRecord record;
    record.family = key.family;
    record.protocol = key.protocol;
    record.srcPort = key.src_port;
    record.dstPort = key.dst_port;
    record.interfaceIndex = key.ifindex;
    if (key.family == kFamilyIpv6) {
        std::memcpy(record.src6.data(), key.src_addr, record.src6.size());
        std::memcpy(record.dst6.data(), key.dst_addr, record.dst6.size());
    } else {
        std::memcpy(&record.srcAddr, key.src_addr, sizeof record.srcAddr);
        std::memcpy(&record.dstAddr, key.dst_addr, sizeof record.dstAddr);
    }
    return record;
}

}  // namespace

static_assert(sizeof(flow_key) == 48 && sizeof(flow_value) == 40, "flow_record.h changed: update the loader");

bool BpfFlowCounter::KeyBytes::operator==(const KeyBytes& other) const {
    return std::memcmp(bytes, other.bytes, sizeof bytes) == 0;
}

std::size_t BpfFlowCounter::KeyHash::operator()(const KeyBytes& key) const {
    return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(key.bytes), sizeof key.bytes));
}

std::unique_ptr<BpfFlowCounter> BpfFlowCounter::open(std::string& whyNot, const BpfFlowCounterOptions& options) {
    static_assert(sizeof(KeyBytes::bytes) == kKeySize);
    std::string log;
    bpf::LibbpfLogCapture capture(log);

    std::unique_ptr<BpfFlowCounter> self(new BpfFlowCounter());
    self->m_skeleton = flow_counter_bpf__open();
    if (self->m_skeleton == nullptr) {
        whyNot = bpf::withLog("opening the flow counter failed (" + errorText(-errno) + ")", log);
        return nullptr;
    }
    if (options.maxFlows != 0) {
        if (const int err = bpf_map__set_max_entries(self->m_skeleton->maps.flows, options.maxFlows); err != 0) {
            whyNot = "sizing the flow table failed (" + errorText(err) + ")";
            return nullptr;
        }
    }
    if (options.portSendersFd >= 0) {
        if (const int err = bpf_map__reuse_fd(self->m_skeleton->maps.port_senders, options.portSendersFd); err != 0) {
            whyNot = bpf::withLog("sharing the owner events' port-sender map failed (" + errorText(err) + ")", log);
            return nullptr;
        }
    }
    if (options.packetSendSeenFd >= 0) {
        if (const int err = bpf_map__reuse_fd(self->m_skeleton->maps.packet_send_seen, options.packetSendSeenFd);
            err != 0) {
            whyNot = bpf::withLog("sharing the owner events' packet-send map failed (" + errorText(err) + ")", log);
            return nullptr;
        }
    }
    if (const int err = flow_counter_bpf__load(self->m_skeleton); err != 0) {
        const bool privilege = err == -EPERM || err == -EACCES;
        whyNot = bpf::withLog(std::string("loading the flow counter failed (") + errorText(err) + ")" +
                                  (privilege ? ": it needs CAP_BPF (or root)" : ""),
                              log);
        return nullptr;
    }
    self->m_cpus = std::max(1, libbpf_num_possible_cpus());
    whyNot.clear();
    return self;
}

BpfFlowCounter::~BpfFlowCounter() {
    flow_counter_bpf__destroy(m_skeleton);
}

int BpfFlowCounter::programFd(LinkType link, bool namedInterfaces) const {
    const auto& progs = m_skeleton->progs;
    switch (link) {
    case LinkType::Ethernet:
        return bpf_program__fd(progs.count_ethernet);
    case LinkType::Raw:
        return bpf_program__fd(progs.count_raw);
    case LinkType::LinuxCooked2:
        return bpf_program__fd(namedInterfaces ? progs.count_cooked_named : progs.count_cooked);
    case LinkType::LinuxCooked:
    case LinkType::Unsupported:
        break;
    }
    return -1;
}

bool BpfFlowCounter::attach(int socketFd, LinkType link, bool namedInterfaces) {
    const int program = programFd(link, namedInterfaces);
    if (program < 0) {
        errno = EINVAL;
        return false;
    }
    return setsockopt(socketFd, SOL_SOCKET, SO_ATTACH_BPF, &program, sizeof program) == 0;
}

void BpfFlowCounter::setInterfaceCounted(std::uint32_t index, bool counted) {
    const std::uint8_t value = counted ? 1 : 0;
    bpf_map_update_elem(bpf_map__fd(m_skeleton->maps.counted_interfaces), &index, &value, BPF_ANY);
}

void BpfFlowCounter::forgetInterfaces() {
    const int fd = bpf_map__fd(m_skeleton->maps.counted_interfaces);
    // Keys first: deleting while walking would restart the walk.
    std::vector<std::uint32_t> indexes;
    std::uint32_t key = 0;
    const std::uint32_t* previous = nullptr;
    while (bpf_map_get_next_key(fd, previous, &key) == 0) {
        indexes.push_back(key);
        previous = &indexes.back();
    }
    for (const std::uint32_t index : indexes) bpf_map_delete_elem(fd, &index);
}

std::size_t BpfFlowCounter::readFlows(bool& complete) {
    const int fd = bpf_map__fd(m_skeleton->maps.flows);
    const std::size_t valueSize = kValueStride * static_cast<std::size_t>(m_cpus);
    // The hash table's batch position is a bucket number; a key's size is room enough.
    unsigned char position[2][kKeySize] = {};
    bool first = true;
    std::uint32_t batch = kBatchKeys;
    std::size_t have = 0;
    complete = false;
    for (;;) {
        // Grown only, never shrunk: a drain a second must not refill megabytes.
        if (m_keys.size() < (have + batch) * kKeySize) {
            m_keys.resize((have + batch) * kKeySize);
            m_values.resize((have + batch) * valueSize);
        }
        std::uint32_t count = batch;
        bpf_map_batch_opts options{};
        options.sz = sizeof options;
        const int err = bpf_map_lookup_batch(fd, first ? nullptr : position[0], position[1],
                                             m_keys.data() + have * kKeySize, m_values.data() + have * valueSize,
                                             &count, &options);
        have += count;
        if (err == -ENOENT) {
            complete = true;
            return have;
        }
        // One bucket holds more flows than a batch: ask for more at once.
        if (err == -ENOSPC && count == 0 && batch < (1u << 20)) {
            batch *= 2;
            continue;
        }
        if (err != 0) return have;
        first = false;
        std::memcpy(position[0], position[1], kKeySize);
    }
}

void BpfFlowCounter::drain(std::vector<FlowDelta>& out) {
    constexpr std::uint64_t kIdleWalkNs = 1'000'000'000;
    const std::uint64_t nowNs = bootNowNs();
    // Read before the walk: a frame counted during it makes the next drain walk again.
    const std::uint64_t counted = countedFrames();
    if (counted == m_countedAtWalk && (m_reported.empty() || nowNs - m_lastWalkNs < kIdleWalkNs)) return;
    m_countedAtWalk = counted;
    m_lastWalkNs = nowNs;
    const std::uint64_t epochNs = nowNs;
    __atomic_store_n(&m_skeleton->bss->drain_epoch_ns, epochNs, __ATOMIC_RELAXED);
    const std::uint64_t previousEpochNs = std::exchange(m_previousEpochNs, epochNs);
    ++m_drains;
    const std::int64_t offsetNs = realtimeOffsetNs(EventClock::Boot);

    bool complete = false;
    const std::size_t flows = readFlows(complete);
    const int fd = bpf_map__fd(m_skeleton->maps.flows);
    const std::size_t valueSize = kValueStride * static_cast<std::size_t>(m_cpus);
    std::vector<unsigned char> last(valueSize);
    for (std::size_t i = 0; i < flows; ++i) {
        flow_key key;
        std::memcpy(&key, m_keys.data() + i * kKeySize, kKeySize);
        Totals totals = sumOverCpus(m_values.data() + i * valueSize, m_cpus, previousEpochNs);
        // Deleting returns the values as they were at the end, so bytes
        // counted since the read above are still reported.
        bool removed = false;
        if (totals.lastNs + kIdleNs <= epochNs && bpf_map_lookup_and_delete_elem(fd, &key, last.data()) == 0) {
            totals = sumOverCpus(last.data(), m_cpus, previousEpochNs);
            removed = true;
        }
        KeyBytes known;
        std::memcpy(known.bytes, &key, kKeySize);
        Reported& reported = m_reported[known];
        // Totals only grow while the entry lives; smaller ones are a new entry.
        if (totals.packets < reported.packets || totals.bytes < reported.bytes) reported = Reported{};
        if (totals.packets != reported.packets || totals.bytes != reported.bytes) {
            FlowDelta delta;
            delta.record = recordOf(key);
            delta.record.timeNs = eventTimeToRealtimeNs(totals.intervalFirstNs, offsetNs);
            delta.bytes = totals.bytes - reported.bytes;
            delta.packets = totals.packets - reported.packets;
            out.push_back(delta);
        }
        if (removed) {
            m_reported.erase(known);
        } else {
            reported = Reported{totals.bytes, totals.packets, m_drains};
        }
    }
    // Only a whole read tells which flows left the table; forgetting one that
    // was merely not read would report its bytes again.
    if (complete) std::erase_if(m_reported, [this](const auto& entry) { return entry.second.drain != m_drains; });
}

namespace {

std::uint64_t sumOfPerCpuCounter(const bpf_map* map, int cpus) {
    std::vector<std::uint64_t> perCpu(static_cast<std::size_t>(cpus));
    const std::uint32_t zero = 0;
    if (bpf_map_lookup_elem(bpf_map__fd(map), &zero, perCpu.data()) != 0) return 0;
    std::uint64_t total = 0;
    for (const std::uint64_t count : perCpu) total += count;
    return total;
}

}  // namespace

std::uint64_t BpfFlowCounter::overflowFrames() const {
    return sumOfPerCpuCounter(m_skeleton->maps.overflow_frames, m_cpus);
}

std::uint64_t BpfFlowCounter::countedFrames() const {
    return sumOfPerCpuCounter(m_skeleton->maps.counted_frames, m_cpus);
}

}  // namespace sondrel
