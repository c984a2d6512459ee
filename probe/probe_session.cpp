#include "probe/probe_session.h"

#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/interfaces.h"
#include "base/local_addresses.h"
#include "probe/capture_runs.h"
#include "probe/captured_interface_list.h"
#include "probe/discovery/interface_watch.h"
#include "base/text.h"
#include "probe/capture/capture_thread.h"
#include "probe/discovery/event_labels.h"
#include "probe/flow_aggregator.h"
#include "probe/foreign_owners.h"
#include "probe/privileges.h"
#include "wire/commands.h"
#include "wire/descriptor_io.h"
#include "wire/events.h"

namespace sondrel::probe {

namespace {

// Without owner events, a packet of an unknown port asks for a discovery pass
// at once: its program may be gone by the next periodic one, so rounds are
// short. With them, every socket is told of as it is made, and a round may be
// as long as the window allows: it accounts once a second.
constexpr auto kForwardPeriod = std::chrono::milliseconds(20);
constexpr auto kForwardPeriodWithOwnerEvents = std::chrono::milliseconds(100);
constexpr auto kStatisticsPeriod = std::chrono::seconds(1);
constexpr std::size_t kCommandReadSize = 4096;

// Which (protocol, family, port) slots have had an owner claim sent.
class KnownSlots {
public:
    // Port planes of TCP, UDP, SCTP and echo identifiers, then one slot per raw (family, protocol).
    KnownSlots() : m_bits((kPortSlots + 512) / 64) {}
    static std::size_t slot(std::uint16_t protocol, bool ipv6, std::uint16_t port) { return portSlot(protocol, ipv6, port); }
    static std::size_t rawSlot(std::uint16_t protocol, bool ipv6) {
        return kPortSlots + (ipv6 ? 256u : 0u) + (protocol & 0xFFu);
    }
    void mark(std::size_t slot) { m_bits[slot / 64].fetch_or(1ull << (slot % 64), std::memory_order_relaxed); }
    bool known(std::size_t slot) const {
        return (m_bits[slot / 64].load(std::memory_order_relaxed) >> (slot % 64) & 1) != 0;
    }

private:
    std::vector<std::atomic<std::uint64_t>> m_bits;
};

}  // namespace

struct ProbeSession::Shared final : Notifier, CaptureObserver, ClaimSink, std::enable_shared_from_this<ProbeSession::Shared> {
    explicit Shared(std::shared_ptr<EventWriter> w) : writer(std::move(w)) { control->resumeWhenAddressReturns = true; }

    const std::shared_ptr<EventWriter> writer;
    const std::shared_ptr<CaptureControl> control = std::make_shared<CaptureControl>();
    const std::shared_ptr<LiveCaptureHandles> handles = std::make_shared<LiveCaptureHandles>();
    KnownSlots known;
    std::unique_ptr<OwnerScanWorker> discovery;
    // Where eBPF is available: the flows the kernel counted, and the probes
    // that see a program write through a packet socket.
    std::shared_ptr<BpfFlowCounter> kernelFlows;
    std::shared_ptr<BpfOwnerEvents> ownerEvents;
    std::string kernelFlowsMissing;

    // A port claimed again (another program may hold it now) ends the round
    // at once: a flow is dated by its first packet, so the packets of the
    // port's next owner must not join a flow of the last one.
    std::mutex roundLock;
    std::condition_variable roundEnd;
    bool roundCut = false;
    void cutRound() {
        {
            const std::scoped_lock guard(roundLock);
            roundCut = true;
        }
        roundEnd.notify_one();
    }
    // Returns whether the round's kernel counts are to be set aside.
    bool waitForRoundEnd(std::chrono::milliseconds period) {
        std::unique_lock guard(roundLock);
        roundEnd.wait_for(guard, period, [this] { return roundCut; });
        roundCut = false;
        return discardRequested;
    }
    // A new capture opens: the window reset its statistics when it chose it,
    // so what the kernel counted for the last one, not yet forwarded, belongs
    // to no period the window still shows (as the frames a closed ring held).
    // Waits until the forwarder has set it aside, before the new socket is counted.
    void discardKernelCounts() {
        if (!kernelFlows) return;
        std::unique_lock guard(roundLock);
        discardRequested = true;
        roundCut = true;
        roundEnd.notify_all();
        roundEnd.wait_for(guard, std::chrono::seconds(1), [this] { return !discardRequested; });
    }
    void kernelCountsDiscarded() {
        {
            const std::scoped_lock guard(roundLock);
            discardRequested = false;
        }
        roundEnd.notify_all();
    }
    bool discardRequested = false;

    bool packetSocketsWriting() const {
        constexpr std::int64_t kQuietNs = 1'000'000'000;
        return ownerEvents && ownerEvents->packetSentWithin(kQuietNs);
    }

    std::mutex lock;  // guards the capture threads' bookkeeping below
    CaptureRuns runs;
    std::string interfaceName;  // of the capture open now ("any" for a list or all)
    // A capture opened: the window learns its interfaces before its packets.
    std::atomic<bool> interfacesChanged{false};

    // Notifier: the window shows what a capture or discovery thread would have shown.
    void showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon icon) override {
        std::vector<std::uint8_t> frame;
        wire::encodeMessage(frame, wire::Message{icon, u16ToUtf8(caption), u16ToUtf8(text)});
        writer->write(frame);
    }
    void showCaptureLibraryMissing() override {
        std::vector<std::uint8_t> frame;
        wire::encodeEmpty(frame, wire::Kind::CaptureLibraryMissing);
        writer->write(frame);
    }

    // CaptureObserver
    void captureOpened(std::uint32_t address, const std::string& deviceName) override {
        discardKernelCounts();
        {
            const std::scoped_lock guard(lock);
            interfaceName = deviceName;
        }
        interfacesChanged.store(true);
        sendState(wire::CaptureStateKind::Capturing, address, deviceName, {});
    }
    void captureFailed(std::uint32_t address, const std::u16string& message) override {
        sendState(wire::CaptureStateKind::Failed, address, {}, u16ToUtf8(message));
    }
    void captureEnded(std::uint32_t address) override {
        const CaptureSet set = control->captureSet();
        const std::uint32_t wanted = set.followsInterfaces() ? 0 : set.address;
        bool again;
        bool othersLive;
        {
            const std::scoped_lock guard(lock);
            again = runs.ended(address, control->captureRunning.load(), wanted);
            othersLive = runs.live(0) != 0;
        }
        // A start came while this run was ending: it would have been left without one.
        if (again) {
            startRun();
            return;
        }
        const bool current = address == 0 ? set.followsInterfaces() && !othersLive : control->localAddress.load() == address;
        if (current) {
            {
                const std::scoped_lock guard(lock);
                interfaceName.clear();
            }
            interfacesChanged.store(true);
            sendState(wire::CaptureStateKind::Stopped, address, {}, {});
        }
    }
    // A capture thread for the capture set as it is now.
    void startRun();
    void sendState(wire::CaptureStateKind kind, std::uint32_t address, const std::string& name, const std::string& error) {
        std::vector<std::uint8_t> frame;
        wire::encodeCaptureState(frame, wire::CaptureState{kind, address, name, error});
        writer->write(frame);
    }

    // ClaimSink
    void ownerClaims(std::span<const OwnerClaim> claims) override {
        bool again = false;
        const auto mark = [&](std::size_t slot) {
            again = again || known.known(slot);
            known.mark(slot);
        };
        for (const OwnerClaim& claim : claims) {
            if (claim.raw) {
                known.mark(KnownSlots::rawSlot(claim.protocol, claim.carries == kCarriesIpv6));
                continue;
            }
            if (claim.carries & kCarriesIpv4) mark(KnownSlots::slot(claim.protocol, false, claim.localPort));
            if (claim.carries & kCarriesIpv6) mark(KnownSlots::slot(claim.protocol, true, claim.localPort));
        }
        if (again) cutRound();
        // A pass may claim more ports than one frame holds; its frames go out in one write.
        std::vector<std::uint8_t> frames;
        for (std::size_t at = 0; at < claims.size(); at += wire::kMaxClaimsPerFrame)
            wire::encodeOwnerClaims(frames, claims.subspan(at, std::min(wire::kMaxClaimsPerFrame, claims.size() - at)));
        writer->write(frames);
    }
    void claimsComplete(std::int64_t upToNs) override {
        std::vector<std::uint8_t> frame;
        wire::encodeClaimsComplete(frame, upToNs);
        writer->write(frame);
    }
    void discoveryEnded() override {
        std::vector<std::uint8_t> frame;
        wire::encodeAttribution(frame, wire::Attribution{AttributionMode::None, "owner discovery has ended"});
        writer->write(frame);
    }
};

namespace {

using Shared = ProbeSession::Shared;

// The capture thread's view of the kernel's flow counter.
class KernelFlowCounting final : public KernelCounting {
public:
    explicit KernelFlowCounting(std::shared_ptr<BpfFlowCounter> counter) : m_counter(std::move(counter)) {}
    bool attach(int socketFd, LinkType link, bool namedInterfaces) override {
        return m_counter->attach(socketFd, link, namedInterfaces);
    }
    void setInterfaceCounted(std::uint32_t index, bool counted) override { m_counter->setInterfaceCounted(index, counted); }
    void forgetInterfaces() override { m_counter->forgetInterfaces(); }

private:
    std::shared_ptr<BpfFlowCounter> m_counter;
};

// The helper knew the addresses when it took the packets: the window counts by its word.
void markLocalEnds(std::vector<FlowDelta>& flows, const LocalAddresses& local) {
    for (FlowDelta& flow : flows) {
        PacketRecord& record = flow.record;
        const LocalEnds ends = local.classify(record);
        record.localEnds = std::uint8_t(kEndsKnown | (ends.source ? kSourceLocal : 0) |
                                        (ends.destination ? kDestinationLocal : 0));
    }
}

bool knownIndex(const CapturedInterfaces& interfaces, std::uint32_t index) {
    return std::any_of(interfaces.begin(), interfaces.end(),
                       [index](const CapturedInterface& captured) { return captured.index == index; });
}

// Interfaces and addresses come and go. A change reported by the kernel, a
// capture opened, a frame from an interface not listed yet, or a second gone
// by has the list read again.
class InterfaceTracker {
public:
    explicit InterfaceTracker(Shared& shared) : m_shared(shared), m_local(shared.control->localAddress) {}

    // Marks the flows' local ends; a new list goes to `frames` first.
    void mark(std::vector<FlowDelta>& flows, std::vector<std::uint8_t>& frames) {
        const auto now = std::chrono::steady_clock::now();
        bool read = m_watch.changed() || m_shared.interfacesChanged.exchange(false) || now - m_lastRead >= kRereadPeriod;
        if (!read && now - m_lastRead >= kUnknownIndexPause) {
            read = std::any_of(flows.begin(), flows.end(), [this](const FlowDelta& flow) {
                return flow.record.interfaceIndex != 0 && !knownIndex(m_current, flow.record.interfaceIndex);
            });
        }
        if (read) {
            m_lastRead = now;
            std::string device;
            {
                const std::scoped_lock guard(m_shared.lock);
                device = m_shared.interfaceName;
            }
            CapturedInterfaces next = capturedInterfaces(listInterfaces(), m_shared.control->captureSet(), device);
            if (next != m_current) {
                // Packets taken before the change and after it are in this batch: the
                // addresses of both lists count for it, so none is lost either way.
                CapturedInterfaces both = m_current;
                both.insert(both.end(), next.begin(), next.end());
                m_local.setInterfaces(both);
                markLocalEnds(flows, m_local);
                m_current = std::move(next);
                m_local.setInterfaces(m_current);
                wire::encodeInterfaces(frames, m_current);
                return;
            }
        }
        markLocalEnds(flows, m_local);
    }
    const LocalAddresses& local() const { return m_local; }

private:
    static constexpr auto kRereadPeriod = std::chrono::seconds(1);
    static constexpr auto kUnknownIndexPause = std::chrono::milliseconds(100);
    Shared& m_shared;
    InterfaceWatch m_watch{RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR};
    LocalAddresses m_local;
    CapturedInterfaces m_current;
    std::chrono::steady_clock::time_point m_lastRead{};
};

// A TCP or UDP packet whose local port no claim has named asks for a pass:
// its program may be gone before the next periodic one.
void askForUnknownOwners(Shared& shared, const std::vector<FlowDelta>& flows, const LocalAddresses& local) {
    if (!shared.discovery) return;
    for (const FlowDelta& flow : flows) {
        const PacketRecord& record = flow.record;
        const bool ipv6 = record.family == kFamilyIpv6;
        const bool echo = isEchoProtocol(record.family, record.protocol);
        const bool byPort = echo || record.protocol == kProtocolTcp || record.protocol == kProtocolUdp ||
                            record.protocol == kProtocolSctp;
        if (!byPort) {
            // A protocol without ports: one pass the first time it is seen, for its raw socket if any holds one.
            const std::size_t slot = KnownSlots::rawSlot(record.protocol, ipv6);
            if (shared.known.known(slot)) continue;
            shared.known.mark(slot);
            shared.discovery->requestPass();
            return;
        }
        const LocalEnds ends = local.classify(record);
        // An echo's identifier is on the end of the socket that sent or awaits it; 0 at the kernel's end.
        const auto unknown = [&](std::uint16_t port) {
            return !(echo && port == 0) && !shared.known.known(KnownSlots::slot(record.protocol, ipv6, port));
        };
        if ((ends.source && unknown(record.srcPort)) || (ends.destination && unknown(record.dstPort))) {
            shared.discovery->requestPass();
            return;
        }
    }
}

// Sums one round's packets by flow, with what the kernel counted, and sends
// the flows: the window is sent a record per flow, not one per packet.
void forward(std::shared_ptr<Shared> shared) {
    dropEverything();
    std::vector<PacketRecord> records;
    FlowAggregator aggregator;
    std::vector<FlowDelta> counted;
    std::vector<std::uint8_t> frames;
    InterfaceTracker interfaces(*shared);
    std::uint64_t forwarded = 0;
    std::uint64_t countedInKernel = 0;
    const auto period = shared->ownerEvents ? kForwardPeriodWithOwnerEvents : kForwardPeriod;
    auto lastStatistics = std::chrono::steady_clock::now();
    for (;;) {
        const bool discard = shared->waitForRoundEnd(period);
        // Read before the queue is taken: a frame written through a packet
        // socket was handed over before it was captured, so its write shows here.
        const bool alone = shared->packetSocketsWriting();
        records.clear();
        {
            const std::scoped_lock guard(shared->control->queue.QueueLock);
            auto& queued = shared->control->queue.records();
            records.assign(queued.begin(), queued.end());
            queued.clear();
        }
        aggregator.clear();
        // The window matches a packet socket's frames to their writes by length, one by one.
        for (const PacketRecord& record : records) alone ? aggregator.addAlone(record) : aggregator.add(record);
        if (shared->kernelFlows) {
            counted.clear();
            shared->kernelFlows->drain(counted);
            if (discard) {
                shared->kernelCountsDiscarded();
            } else {
                for (const FlowDelta& flow : counted) {
                    aggregator.add(flow);
                    countedInKernel += flow.packets;
                }
            }
        }
        std::vector<FlowDelta>& flows = aggregator.flows();
        frames.clear();
        interfaces.mark(flows, frames);
        for (std::size_t at = 0; at < flows.size(); at += wire::kMaxFlowsPerFrame) {
            const std::size_t count = std::min(wire::kMaxFlowsPerFrame, flows.size() - at);
            wire::encodeFlows(frames, std::span(flows).subspan(at, count));
        }
        for (const FlowDelta& flow : flows) forwarded += flow.packets;
        askForUnknownOwners(*shared, flows, interfaces.local());
        const auto now = std::chrono::steady_clock::now();
        // Once a second, changed or not: the window takes a helper it has not
        // heard from for three seconds for one that hangs.
        if (now - lastStatistics >= kStatisticsPeriod) {
            lastStatistics = now;
            const std::uint64_t dropped = shared->control->packetsDropped.load();
            const std::uint64_t tableFull = shared->kernelFlows ? shared->kernelFlows->overflowFrames() : 0;
            wire::encodeStatistics(frames, wire::Statistics{forwarded, dropped, countedInKernel, tableFull});
        }
        if (!frames.empty()) shared->writer->write(frames);
    }
}

// Frames written through packet sockets during one poll, in runs of one label.
class PacketSendBatch {
public:
    void add(const std::u16string& label, const PacketSend& send) {
        // The label is copied: a process's label goes when it exits.
        if (m_sends.empty() || m_label != label || m_sends.size() == wire::kMaxPacketSendsPerFrame) {
            close();
            m_label = label;
        }
        m_sends.push_back(send);
    }
    void flush(EventWriter& writer) {
        close();
        if (!m_frames.empty()) writer.write(m_frames);
        m_frames.clear();
    }

private:
    void close() {
        if (!m_sends.empty()) wire::encodePacketSends(m_frames, u16ToUtf8(m_label), m_sends);
        m_sends.clear();
    }

    std::u16string m_label;
    std::vector<PacketSend> m_sends;
    std::vector<std::uint8_t> m_frames;
};

// Claims from the owner events, in the order the probes saw them; every 100 ms
// at the latest the window learns up to when it has them all.
void watchOwnerEvents(std::shared_ptr<Shared> shared, std::shared_ptr<BpfOwnerEvents> events) {
    dropForGood({Privilege::Capture, Privilege::LoadProbes});
    constexpr std::int64_t kCommitSlackNs = 1'000'000;
    // A tracepoint's send or receive fires when the call returns, after its packets.
    constexpr std::int64_t kAfterCallNs = 5'000'000;
    EventLabels labels;
    std::uint64_t lost = events->lostRecords();
    pollfd ready{events->pollFd(), POLLIN, 0};
    PacketSendBatch sends;
    ForeignOwners foreign;
    const auto labelOf = [&](const OwnerEvent& event) -> const std::u16string& {
        if (!labels.known(event.tgid)) {
            const ScopedPrivilege reading(Privilege::ReadProcesses);
            return labels.labelOf(event.tgid, event.comm);
        }
        return labels.labelOf(event.tgid, event.comm);
    };
    const auto deliver = [&](const OwnerEvent& event) {
        if (const auto* sent = std::get_if<PacketSendEvent>(&event.detail)) {
            sends.add(labelOf(event), PacketSend{event.timeNs, sent->interfaceIndex, sent->length});
        } else if (const auto* socket = std::get_if<SocketClaim>(&event.detail)) {
            if (socket->networkNamespace != foreign.ownNamespace() && foreign.ownNamespace() != 0) {
                foreign.observe(event, *socket, labelOf(event),
                                event.timeNs - (socket->datedAfterCall ? kAfterCallNs : 0));
                return;
            }
            // No file: the kernel's own socket (a tunnel's), bound in the context of the process that configured it.
            if (socket->inode == 0 && socket->protocol == 17 && !socket->raw) {
                shared->discovery->observeKernelSocket(socket->protocol, event.timeNs);
                return;
            }
            const std::uint8_t carries = (socket->carriesIpv4 ? kCarriesIpv4 : 0) |
                                         (socket->carriesIpv6 ? kCarriesIpv6 : 0);
            if (carries == 0 || (!socket->raw && !keyedByPort(socket->protocol))) return;
            SeenSocket seen{socket->protocol, socket->localPort, carries, int(event.tgid), &labelOf(event)};
            seen.raw = socket->raw;
            if (socket->raw && socket->family == kFamilyIpv6) {
                seen.localAddress = socket->localIpv6;
            } else if (socket->raw) {
                std::memcpy(seen.localAddress.data(), &socket->localIpv4, 4);
            }
            shared->discovery->observeEvent(seen, event.timeNs - (socket->datedAfterCall ? kAfterCallNs : 0));
        } else if (const auto* exec = std::get_if<ExecEvent>(&event.detail)) {
            const ScopedPrivilege reading(Privilege::ReadProcesses);
            labels.exec(event.tgid, exec->path, event.comm);
        } else if (const auto* fork = std::get_if<ForkEvent>(&event.detail)) {
            labels.fork(event.tgid, fork->childTgid);
        } else {
            labels.exit(event.tgid);
        }
    };
    for (;;) {
        poll(&ready, 1, 100);
        const std::int64_t before = realtimeNs();
        events->poll(deliver);
        // Before the claims' completion: the window matches the frames up to that time.
        sends.flush(*shared->writer);
        foreign.flush(*shared->writer, before);
        shared->discovery->eventsComplete(before - kCommitSlackNs);
        // Events the kernel could not queue: a pass finds what they would have said.
        if (events->lostRecords() != lost) {
            lost = events->lostRecords();
            shared->discovery->requestPass();
        }
    }
}

// pcap_activate opens the capture socket: the one call that needs CAP_NET_RAW.
decltype(&::pcap_activate) g_activate = nullptr;

int activateWithCapturePrivilege(pcap_t* handle) {
    const ScopedPrivilege privilege(Privilege::Capture);
    return g_activate(handle);
}

CaptureLibraryLoad loadCaptureLibraryWithPrivilege() {
    CaptureLibraryLoad load = loadSystemCaptureLibrary();
    if (auto* library = std::get_if<CaptureLibrary>(&load)) {
        g_activate = library->activate;
        library->activate = activateWithCapturePrivilege;
    }
    return load;
}

}  // namespace

ProbeSession::ProbeSession(std::shared_ptr<EventWriter> writer) : m_shared(std::make_shared<Shared>(std::move(writer))) {}

void ProbeSession::startDiscovery(std::unique_ptr<BpfOwnerEvents> events, const std::string& eventsMissing) {
    OwnerScanWorker::PassGuard guard;
    guard.threadStart = [] { dropForGood({Privilege::Capture, Privilege::LoadProbes}); };
    auto privilege = std::make_shared<std::unique_ptr<ScopedPrivilege>>();
    guard.enter = [privilege] { *privilege = std::make_unique<ScopedPrivilege>(Privilege::ReadProcesses); };
    guard.leave = [privilege] { privilege->reset(); };
    m_shared->discovery = std::make_unique<OwnerScanWorker>("/proc", m_shared, m_shared, std::move(guard));
    if (events) m_shared->discovery->setPeriodic(false);
    const bool running = m_shared->discovery->start() == 0;
    wire::Attribution attribution{AttributionMode::None, "/proc is not readable"};
    if (running && events) {
        attribution = {AttributionMode::Ebpf, events->hooksInUse()};
        m_shared->ownerEvents = std::move(events);
        std::thread(watchOwnerEvents, m_shared, m_shared->ownerEvents).detach();
    } else if (running) {
        attribution = {AttributionMode::ProcPolling, "/proc every 300 ms; no eBPF: " + eventsMissing};
        // Passes on demand come from the packets of unknown ports: they must not wait a read timeout.
        m_shared->control->promptDelivery = true;
    }
    attribution.detail += m_shared->kernelFlows ? "; flows counted in the kernel"
                                                : "; flows counted in user space: " + m_shared->kernelFlowsMissing;
    std::vector<std::uint8_t> frame;
    wire::encodeAttribution(frame, attribution);
    m_shared->writer->write(frame);
}

void ProbeSession::countInKernel(std::unique_ptr<BpfFlowCounter> counter, const std::string& whyNot) {
    m_shared->kernelFlows = std::move(counter);
    m_shared->kernelFlowsMissing = whyNot;
}

void ProbeSession::startForwarding() { std::thread(forward, m_shared).detach(); }

void ProbeSession::startCapture(const CaptureSet& set) {
    CaptureControl& control = *m_shared->control;
    // A new set ends the runs of the old one as soon as they see it.
    const bool changed = set != control.captureSet();
    if (changed) control.setCaptureSet(set);
    const bool stopped = !control.captureRunning.exchange(true);
    const std::uint32_t key = set.followsInterfaces() ? 0 : set.address;
    {
        const std::scoped_lock guard(m_shared->lock);
        if (!m_shared->runs.start(key, changed, stopped)) return;
        m_shared->interfaceName.clear();
    }
    // A run on another address ends as soon as it sees the change.
    m_shared->handles->wakeAll();
    m_shared->startRun();
}

void ProbeSession::Shared::startRun() {
    std::shared_ptr<KernelCounting> counting;
    if (kernelFlows) counting = std::make_shared<KernelFlowCounting>(kernelFlows);
    startCaptureThread(control, shared_from_this(), handles, loadCaptureLibraryWithPrivilege, shared_from_this(),
                       std::move(counting));
}

void ProbeSession::stopCapture() { sondrel::stopCapture(*m_shared->control, *m_shared->handles); }

void ProbeSession::run(int commandFd) {
    wire::FrameReader reader(wire::isCommand);
    bool greeted = false;
    wire::readFrames(commandFd, reader, kCommandReadSize, [&](const wire::Frame& frame) {
        if (!greeted) {
            const auto hello = frame.kind == wire::Kind::Hello ? wire::decodeHello(frame.body) : std::nullopt;
            greeted = hello && hello->magic == wire::kMagic && hello->version == wire::kProtocolVersion;
            return greeted;
        }
        switch (frame.kind) {
        case wire::Kind::StartCapture: {
            const auto set = wire::decodeStartCapture(frame.body);
            if (!set) return false;
            startCapture(*set);
            return true;
        }
        case wire::Kind::StopCapture:
            if (!frame.body.empty()) return false;
            stopCapture();
            return true;
        case wire::Kind::Shutdown: return false;
        default: return false;
        }
    });
}

}  // namespace sondrel::probe
