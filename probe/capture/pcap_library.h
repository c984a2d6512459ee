#pragma once

#include <pcap/pcap.h>

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace sondrel {

// The libpcap entry points the capture thread requires, taken by name from the
// library at run time (the program does not link libpcap). A struct of plain
// function pointers so tests can hand the capture thread a library of their own.
struct CaptureLibrary {
    decltype(&::pcap_findalldevs) findalldevs = nullptr;
    decltype(&::pcap_freealldevs) freealldevs = nullptr;
    // Required to be present, but the device is opened through create/activate
    // below: pcap_open_live cannot enlarge the kernel ring.
    decltype(&::pcap_open_live) open_live = nullptr;
    decltype(&::pcap_compile) compile = nullptr;
    decltype(&::pcap_setfilter) setfilter = nullptr;
    decltype(&::pcap_dispatch) dispatch = nullptr;
    decltype(&::pcap_close) close = nullptr;
    decltype(&::pcap_datalink) datalink = nullptr;
    // Wakes a pcap_dispatch blocked on an idle interface; callable from another thread.
    decltype(&::pcap_breakloop) breakloop = nullptr;
    decltype(&::pcap_create) create = nullptr;
    decltype(&::pcap_set_snaplen) set_snaplen = nullptr;
    decltype(&::pcap_set_promisc) set_promisc = nullptr;
    decltype(&::pcap_set_timeout) set_timeout = nullptr;
    decltype(&::pcap_set_buffer_size) set_buffer_size = nullptr;
    decltype(&::pcap_activate) activate = nullptr;
    decltype(&::pcap_geterr) geterr = nullptr;
    decltype(&::pcap_statustostr) statustostr = nullptr;
    // Optional: the kernel's drop counters, for the status line and the metrics.
    decltype(&::pcap_stats) stats = nullptr;
    // Optional: the "any" device's frames with interface indexes (DLT_LINUX_SLL2).
    decltype(&::pcap_set_datalink) set_datalink = nullptr;
    // Optional: the capture socket, for the kernel's flow counter.
    decltype(&::pcap_fileno) fileno = nullptr;

    // The file that was loaded, as it was named when loading ("libpcap.so.0.8").
    std::string fileName;
    // Keeps the loaded file mapped while any copy of this struct lives.
    std::shared_ptr<void> module;
};

enum class CaptureLibraryError {
    NotLoadable,        // none of the file names could be loaded
    EntryPointMissing,  // the file loaded but lacks an entry point
};

struct CaptureLibraryFailure {
    CaptureLibraryError error = CaptureLibraryError::NotLoadable;
    std::string fileName{};    // the file that loaded (EntryPointMissing only)
    std::string entryPoint{};  // the first missing name (EntryPointMissing only)
    std::string detail{};      // dlerror()'s text, for diagnostics
};

using CaptureLibraryLoad = std::variant<CaptureLibrary, CaptureLibraryFailure>;
using CaptureLibraryLoader = std::function<CaptureLibraryLoad()>;

// "libpcap.so.1", "libpcap.so.0.8" (Debian's name), "libpcap.so" (development package only).
std::span<const std::string_view> systemCaptureLibraryNames();

// Tries each name in turn with dlopen; the first that loads must hold every
// entry point, which are looked up in the order of CaptureLibrary's fields.
CaptureLibraryLoad loadCaptureLibrary(std::span<const std::string_view> fileNames);

// loadCaptureLibrary(systemCaptureLibraryNames()); the capture thread's default loader.
CaptureLibraryLoad loadSystemCaptureLibrary();

}  // namespace sondrel
