#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/attribution_mode.h"
#include "base/capture_set.h"
#include "base/captured_interfaces.h"
#include "base/flow_delta.h"
#include "base/notifier.h"
#include "base/owner_claim.h"
#include "base/packet_record.h"
#include "wire/frames.h"
#include "wire/hello.h"

namespace sondrel::wire {

// What the capture helper tells its window, after its Hello. ExecFailed comes
// from the window's own child when the helper could not be run at all.
inline constexpr std::size_t kFlowRecordSize = 68;
inline constexpr std::size_t kMaxFlowsPerFrame = 4096;
// A packet's largest size on the wire: IPv6 BIG TCP aggregates reach 512 KiB.
inline constexpr std::uint64_t kMaxPacketBytes = 1u << 20;
inline constexpr std::uint64_t kMaxFlowPackets = 1ull << 40;
// One flow's bytes in one round: 1 TiB (over a minute of 100 Gbit/s unforwarded).
// The window queues a flow as records of at most 4 GiB each, so this bounds
// the memory one frame can make it take.
inline constexpr std::uint64_t kMaxFlowBytes = 1ull << 40;
inline constexpr std::size_t kClaimFixedSize = 31;
inline constexpr std::size_t kFlowClaimFixedSize = 32;
inline constexpr std::uint8_t kClaimUnreadable = 1;
inline constexpr std::uint8_t kClaimTunnel = 2;
inline constexpr std::uint8_t kClaimRaw = 4;
inline constexpr std::size_t kPacketSendSize = 16;
inline constexpr std::size_t kMaxPacketSendsPerFrame = 4096;
inline constexpr std::uint32_t kMaxPacketSendLength = 1u << 18;  // a packet socket's largest frame, with GSO
inline constexpr std::size_t kMaxClaimsPerFrame = 256;
inline constexpr std::size_t kMaxLabelBytes = 2048;
inline constexpr std::size_t kMaxTextBytes = 4096;
inline constexpr std::size_t kMaxLocalAddresses = 64;  // of each family, per interface
inline constexpr std::size_t kMaxInterfaces = 128;
inline constexpr std::size_t kExecFailedSize = 4;

struct Message {
    MessageIcon icon = MessageIcon::None;
    std::string caption;
    std::string text;
};

enum class CaptureStateKind : std::uint8_t { Stopped = 0, Capturing = 1, Failed = 2 };

struct CaptureState {
    CaptureStateKind state = CaptureStateKind::Stopped;
    std::uint32_t ipv4Address = 0;  // network order
    std::string interfaceName;
    std::string error;  // the message shown, for Failed
};

struct Statistics {
    std::uint64_t packetsCaptured = 0;  // counted in user space and in the kernel
    std::uint64_t packetsDropped = 0;
    // Of packetsCaptured, those the kernel's flow counter counted, and the
    // packets it handed to user space instead because its table was full.
    std::uint64_t packetsCountedInKernel = 0;
    std::uint64_t kernelTableFull = 0;
};

// The helper reports Ebpf, ProcPolling or None; Unknown is the window's own
// state before any report, and never sent.
struct Attribution {
    AttributionMode mode = AttributionMode::None;
    std::string detail;  // what is in use, or why not
};

// Encoders append one whole frame to out. CaptureLibraryMissing has an empty
// body (encodeEmpty).

// The traffic of flows since the last frame; at most kMaxFlowsPerFrame.
void encodeFlows(std::vector<std::uint8_t>& out, std::span<const FlowDelta> flows);
// At most kMaxClaimsPerFrame claims; labels longer than kMaxLabelBytes are cut.
void encodeOwnerClaims(std::vector<std::uint8_t>& out, std::span<const OwnerClaim> claims);
void encodeClaimsComplete(std::vector<std::uint8_t>& out, std::int64_t upToNs);
// At most kMaxClaimsPerFrame flows.
void encodeFlowClaims(std::vector<std::uint8_t>& out, std::span<const FlowClaim> claims);
// Frames one program wrote through packet sockets; at most kMaxPacketSendsPerFrame.
void encodePacketSends(std::vector<std::uint8_t>& out, const std::string& label, std::span<const PacketSend> sends);
void encodeMessage(std::vector<std::uint8_t>& out, const Message& message);
void encodeCaptureState(std::vector<std::uint8_t>& out, const CaptureState& state);
void encodeStatistics(std::vector<std::uint8_t>& out, const Statistics& statistics);
void encodeAttribution(std::vector<std::uint8_t>& out, const Attribution& attribution);
void encodeExecFailed(std::vector<std::uint8_t>& out, std::int32_t error);
// The same frame in an array of its own: built without allocating, so the
// child between fork and exec can report why exec failed.
using ExecFailedFrame = std::array<std::uint8_t, kHeaderSize + kExecFailedSize>;
ExecFailedFrame execFailedFrame(std::int32_t error);
// At most kMaxInterfaces, each with at most kMaxLocalAddresses of each family.
void encodeInterfaces(std::vector<std::uint8_t>& out, const CapturedInterfaces& interfaces);

// Decoders take a frame's body and check every length and value; nullopt
// (or false) for a body that is not exactly what its kind allows.
bool decodeFlows(std::span<const std::uint8_t> body, std::vector<FlowDelta>& flows);
bool decodeOwnerClaims(std::span<const std::uint8_t> body, std::vector<OwnerClaim>& claims);
std::optional<std::int64_t> decodeClaimsComplete(std::span<const std::uint8_t> body);
bool decodeFlowClaims(std::span<const std::uint8_t> body, std::vector<FlowClaim>& claims);
bool decodePacketSends(std::span<const std::uint8_t> body, std::string& label, std::vector<PacketSend>& sends);
std::optional<Message> decodeMessage(std::span<const std::uint8_t> body);
std::optional<CaptureState> decodeCaptureState(std::span<const std::uint8_t> body);
std::optional<Statistics> decodeStatistics(std::span<const std::uint8_t> body);
std::optional<Attribution> decodeAttribution(std::span<const std::uint8_t> body);
std::optional<std::int32_t> decodeExecFailed(std::span<const std::uint8_t> body);
bool decodeInterfaces(std::span<const std::uint8_t> body, CapturedInterfaces& interfaces);

}  // namespace sondrel::wire
