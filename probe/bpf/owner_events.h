#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "probe/bpf/event_clock.h"
#include "probe/bpf/owner_event.h"

struct owner_events_bpf;
struct ring_buffer;
struct perf_buffer;

namespace sondrel {

struct BpfOwnerEventsOptions {
    // Inode of the network namespace whose sockets are reported (as stat() of
    // /proc/<pid>/ns/net gives it); empty: this process's own; 0: every one.
    // Process events (exec, fork, exit) are never filtered.
    std::optional<std::uint32_t> networkNamespace;
    // Use only what a kernel without BPF trampolines has (tracepoints), or a
    // perf buffer as before Linux 5.8, although this kernel has more: these
    // three exist so the fallbacks can be tested on a current kernel.
    bool withoutTrampolines = false;
    bool withPerfBuffer = false;
    // Mark sockets in a hash map keyed by their address, as before Linux 5.11
    // (which lets tracing programs use socket storage), although this kernel can.
    bool withoutSocketStorage = false;
};

// Kernel probes that report, from the owning process's own context, which
// process holds which TCP/UDP socket and what each process executes (see
// OwnerEvent). Everything that needs privilege happens in open(): after it,
// poll() and the destructor work without any capability.
//
// Not thread-safe: one thread polls.
class BpfOwnerEvents {
public:
    using Sink = std::function<void(const OwnerEvent&)>;

    // Probes the kernel, chooses the hooks, loads and attaches the programs.
    // Needs CAP_BPF and CAP_PERFMON (or root). nullptr, with the reason in
    // `whyNot`, when the kernel has no BTF, lacks a hook every choice needs,
    // a program cannot load or attach, or privileges lack. While it runs,
    // libbpf's messages are collected for `whyNot` instead of printed.
    static std::unique_ptr<BpfOwnerEvents> open(std::string& whyNot, const BpfOwnerEventsOptions& options = {});

    ~BpfOwnerEvents();
    BpfOwnerEvents(const BpfOwnerEvents&) = delete;
    BpfOwnerEvents& operator=(const BpfOwnerEvents&) = delete;

    // Readable (poll/epoll) when events wait; stays valid until destruction.
    int pollFd() const;

    // Hands every waiting event to `deliver`, in the order each CPU wrote
    // them, with `timeNs` set; never blocks. Returns how many were delivered.
    // An exception from `deliver` ends the batch and is rethrown; the event it
    // was thrown for is lost, and with a perf buffer the rest of the batch too.
    std::size_t poll(const Sink& deliver);

    // The hooks in use, e.g. "fexit/udp_lib_get_port, ..., tp_btf/sched_process_exit;
    // socket storage; ring buffer; CLOCK_BOOTTIME".
    std::string hooksInUse() const;
    EventClock clock() const { return m_clock; }
    // The map holding the time of the last packet-socket send, for the flow
    // counter (BpfFlowCounterOptions::packetSendSeenFd); valid until destruction.
    int packetSendSeenFd() const;
    // The map of each UDP port's sender generation, for the flow counter
    // (BpfFlowCounterOptions::portSendersFd); valid until destruction.
    int portSendersFd() const;
    // Whether a program wrote through a packet socket within the last
    // `windowNs`; callable from any thread.
    bool packetSentWithin(std::int64_t windowNs) const;

    // Records the kernel could not queue (buffer full): owners may have been
    // missed, a /proc scan catches up.
    std::uint64_t lostRecords() const;
    // Records the reader rejected; nonzero only with a fault in the probes.
    std::uint64_t malformedRecords() const { return m_malformed; }

private:
    BpfOwnerEvents() = default;
    // The ring or perf buffer the loaded probes write to; false with errno set.
    bool openEventBuffer(bool ringBuffer);
    int deliverRecord(std::span<const std::byte> record);
    static int onRingRecord(void* self, void* data, std::size_t size);
    static void onPerfSample(void* self, int cpu, void* data, std::uint32_t size);
    static void onPerfLost(void* self, int cpu, unsigned long long count);

    owner_events_bpf* m_skeleton = nullptr;
    ring_buffer* m_ring = nullptr;
    perf_buffer* m_perf = nullptr;
    EventClock m_clock = EventClock::Boot;
    bool m_socketStorage = true;
    std::vector<std::string> m_hooks;
    std::uint64_t m_perfLost = 0;
    std::uint64_t m_malformed = 0;

    const Sink* m_sink = nullptr;
    std::int64_t m_offsetNs = 0;
    std::size_t m_delivered = 0;
    std::exception_ptr m_failure;
};

}  // namespace sondrel
