#include "probe/capture/pcap_library.h"

#include <dlfcn.h>

#include <array>

namespace sondrel {

namespace {

constexpr std::array<std::string_view, 3> kSystemNames{"libpcap.so.1", "libpcap.so.0.8", "libpcap.so"};

std::string lastDlError() {
    const char* text = dlerror();
    return text != nullptr ? text : "";
}

// Binds one entry point; false (and the failure filled in) when it is absent.
template <typename Function>
bool bind(void* module, const char* name, Function& target, CaptureLibraryFailure& failure) {
    dlerror();
    void* address = dlsym(module, name);
    if (address == nullptr) {
        failure.entryPoint = name;
        failure.detail = lastDlError();
        return false;
    }
    target = reinterpret_cast<Function>(address);
    return true;
}

}  // namespace

std::span<const std::string_view> systemCaptureLibraryNames() {
    return kSystemNames;
}

CaptureLibraryLoad loadCaptureLibrary(std::span<const std::string_view> fileNames) {
    CaptureLibraryFailure failure;
    void* module = nullptr;
    std::string loadedName;
    for (const std::string_view name : fileNames) {
        loadedName = std::string(name);
        module = dlopen(loadedName.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module != nullptr) {
            break;
        }
        failure.detail = lastDlError();
    }
    if (module == nullptr) {
        return failure;
    }

    CaptureLibrary library;
    library.fileName = loadedName;
    library.module = std::shared_ptr<void>(module, [](void* handle) { dlclose(handle); });

    failure.error = CaptureLibraryError::EntryPointMissing;
    failure.fileName = loadedName;
    const bool complete = bind(module, "pcap_findalldevs", library.findalldevs, failure) &&
                          bind(module, "pcap_freealldevs", library.freealldevs, failure) &&
                          bind(module, "pcap_open_live", library.open_live, failure) &&
                          bind(module, "pcap_compile", library.compile, failure) &&
                          bind(module, "pcap_setfilter", library.setfilter, failure) &&
                          bind(module, "pcap_dispatch", library.dispatch, failure) &&
                          bind(module, "pcap_close", library.close, failure) &&
                          bind(module, "pcap_datalink", library.datalink, failure) &&
                          bind(module, "pcap_breakloop", library.breakloop, failure) &&
                          bind(module, "pcap_create", library.create, failure) &&
                          bind(module, "pcap_set_snaplen", library.set_snaplen, failure) &&
                          bind(module, "pcap_set_promisc", library.set_promisc, failure) &&
                          bind(module, "pcap_set_timeout", library.set_timeout, failure) &&
                          bind(module, "pcap_set_buffer_size", library.set_buffer_size, failure) &&
                          bind(module, "pcap_activate", library.activate, failure) &&
                          bind(module, "pcap_geterr", library.geterr, failure) &&
                          bind(module, "pcap_statustostr", library.statustostr, failure);
    if (complete) {
        library.stats = reinterpret_cast<decltype(library.stats)>(dlsym(module, "pcap_stats"));
        library.set_datalink = reinterpret_cast<decltype(library.set_datalink)>(dlsym(module, "pcap_set_datalink"));
        library.fileno = reinterpret_cast<decltype(library.fileno)>(dlsym(module, "pcap_fileno"));
    }
    if (!complete) {
        return failure;
    }
    return library;
}

CaptureLibraryLoad loadSystemCaptureLibrary() {
    return loadCaptureLibrary(systemCaptureLibraryNames());
}

}  // namespace sondrel
