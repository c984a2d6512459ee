#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/flow_delta.h"
#include "probe/capture/link_type.h"

struct flow_counter_bpf;

namespace sondrel {

struct BpfFlowCounterOptions {
    // The owner-event probes' map of the last packet-socket send
    // (BpfOwnerEvents::packetSendSeenFd), or -1 for a map of its own that
    // nothing writes.
    int packetSendSeenFd = -1;
    // Their map of each UDP port's sender generation
    // (BpfOwnerEvents::portSendersFd), or -1: every generation stays 0.
    int portSendersFd = -1;
    // Flows the kernel table holds; 0: 65536. Small only in tests.
    std::uint32_t maxFlows = 0;
};

// Socket filters for the capture sockets that count each frame's bytes per
// flow in the kernel, reading the headers exactly as decodeHeaders does, and
// keep the frame from user space. A frame they cannot count (a new interface
// of the "any" device, a full table, one written through a packet socket) is
// passed whole to the capture thread, so every byte is counted once: by the
// kernel or by DecodeFrame. Everything privileged happens in open().
//
// One thread drains; attach and the interface verdicts may come from another.
class BpfFlowCounter {
public:
    // Loads the programs and maps; needs CAP_BPF (or root). nullptr, with the
    // reason and libbpf's messages in whyNot, on failure.
    static std::unique_ptr<BpfFlowCounter> open(std::string& whyNot, const BpfFlowCounterOptions& options = {});

    ~BpfFlowCounter();
    BpfFlowCounter(const BpfFlowCounter&) = delete;
    BpfFlowCounter& operator=(const BpfFlowCounter&) = delete;

    // Attaches the program for this link to a capture socket (pcap_fileno);
    // needs no capability. namedInterfaces (LinuxCooked2 only): count only the
    // interfaces setInterfaceCounted calls counted. false, errno set, for
    // LinuxCooked or Unsupported or when the socket refuses.
    bool attach(int socketFd, LinkType link, bool namedInterfaces);

    // The interface filter's verdict on an index, for the named program.
    void setInterfaceCounted(std::uint32_t index, bool counted);
    // Every verdict forgotten: names may have moved to other indexes.
    void forgetInterfaces();

    // Appends the traffic counted since the previous drain: one FlowDelta per
    // flow that moved, its record laid out as DecodeFrame's (length 0,
    // localEnds 0) and timeNs the interval's first packet, CLOCK_REALTIME.
    // Flows idle for a second leave the kernel table, their last bytes
    // reported. The table is walked only when frames were counted since the
    // last walk, or once a second while it holds flows.
    void drain(std::vector<FlowDelta>& out);

    // Frames passed to user space because the table was full, and frames
    // counted in the table.
    std::uint64_t overflowFrames() const;
    std::uint64_t countedFrames() const;
    // Flows known at the latest drain.
    std::size_t flowCount() const { return m_reported.size(); }

    // The program attach() would use, or -1; for BPF_PROG_TEST_RUN in tests.
    int programFd(LinkType link, bool namedInterfaces) const;

private:
    struct KeyBytes {
        unsigned char bytes[48];
        bool operator==(const KeyBytes& other) const;
    };
    struct KeyHash {
        std::size_t operator()(const KeyBytes& key) const;
    };
    struct Reported {
        std::uint64_t bytes = 0;
        std::uint64_t packets = 0;
        std::uint64_t drain = 0;  // the drain that last saw the flow in the kernel
    };

    BpfFlowCounter() = default;
    // Reads the kernel table's entries into m_keys and m_values (per key one
    // value per CPU); returns how many. complete is false when a failing read
    // ended it early: what it missed is reported by the next drain.
    std::size_t readFlows(bool& complete);

    flow_counter_bpf* m_skeleton = nullptr;
    int m_cpus = 1;
    std::uint64_t m_drains = 0;
    std::uint64_t m_previousEpochNs = 0;
    std::uint64_t m_countedAtWalk = 0;
    std::uint64_t m_lastWalkNs = 0;
    std::unordered_map<KeyBytes, Reported, KeyHash> m_reported;
    std::vector<unsigned char> m_keys;
    std::vector<unsigned char> m_values;
};

}  // namespace sondrel
