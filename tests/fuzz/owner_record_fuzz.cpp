#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

#include "probe/bpf/owner_event.h"
#include "probe/bpf/owner_event_record.h"

// Any bytes as one ring-buffer record of the owner-event probes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sondrel::OwnerEvent event;
    const auto status = sondrel::parseOwnerRecord({reinterpret_cast<const std::byte*>(data), size}, event);
    if (status != sondrel::OwnerRecordStatus::Ok) return 0;
    if (event.comm.size() > OWNER_COMM_LEN) __builtin_trap();
    if (const auto* claim = std::get_if<sondrel::SocketClaim>(&event.detail)) {
        const bool keyed = claim->protocol == 6 || claim->protocol == 17 || claim->protocol == 132 ||
                           claim->protocol == (claim->family == sondrel::kFamilyIpv4 ? 1 : 58);
        if (claim->raw ? claim->localPort != 0 || (claim->carriesIpv4 && claim->carriesIpv6) : !keyed) __builtin_trap();
        if (claim->carriesIpv4 && claim->family == sondrel::kFamilyIpv6 && claim->v6Only) __builtin_trap();
    }
    if (const auto* sent = std::get_if<sondrel::PacketSendEvent>(&event.detail)) {
        if (sent->length == 0) __builtin_trap();
    }
    if (const auto* exec = std::get_if<sondrel::ExecEvent>(&event.detail)) {
        // Both strings come from the record's data and never hold their NUL.
        if (exec->filename.size() + exec->path.size() > size) __builtin_trap();
        if (exec->filename.find('\0') != std::string::npos || exec->path.find('\0') != std::string::npos) __builtin_trap();
    }
    return 0;
}
