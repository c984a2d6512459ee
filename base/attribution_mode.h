#pragma once

namespace sondrel {

// How packets are tied to the program that owns their local port.
enum class AttributionMode {
    Unknown,      // nothing has been reported yet
    Ebpf,         // owner events from eBPF probes, /proc once at start
    ProcPolling,  // /proc scans every 300 ms and on demand
    None,         // no owner tables readable: protocol labels only
};

}  // namespace sondrel
