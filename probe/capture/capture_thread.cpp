#include "probe/capture/capture_thread.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <variant>

#include "base/text.h"
#include "probe/capture/decode_frame.h"

namespace sondrel {

namespace {

void showError(Notifier& notifier, const std::u16string& text) {
    notifier.showMessage(u"Error", text, MessageIcon::Error);
}

// The last device in the list with an IPv4 address equal to address; the walk
// does not stop at the first match.
const pcap_if_t* chooseDevice(const pcap_if_t* devices, std::uint32_t address) {
    const pcap_if_t* chosen = nullptr;
    for (const pcap_if_t* device = devices; device != nullptr; device = device->next) {
        for (const pcap_addr_t* entry = device->addresses; entry != nullptr; entry = entry->next) {
            if (entry->addr == nullptr || entry->addr->sa_family != AF_INET) {
                continue;
            }
            sockaddr_in ipv4;
            std::memcpy(&ipv4, entry->addr, sizeof ipv4);
            if (ipv4.sin_addr.s_addr == address) {
                chosen = device;
            }
        }
    }
    return chosen;
}

std::u16string openFailureText(const char* libraryText) {
    std::u16string text = u"Unable to open the adapter!";
    if (libraryText != nullptr && libraryText[0] != '\0') {
        text += u'\n';
        text += utf8ToU16(libraryText);
    }
    return text;
}

using HandleOwner = std::unique_ptr<pcap_t, void (*)(pcap_t*)>;

// pcap_open_live's steps with a larger kernel ring, which pcap_open_live
// cannot ask for. The setters only fail on an activated handle, so their
// results carry nothing. A positive status from pcap_activate is a warning
// (promiscuous mode or time stamp type unsupported) and the handle works.
// On failure the handle is already closed and failureText says why.
HandleOwner openDevice(const CaptureLibrary& library, const char* deviceName, int readTimeoutMs, int bufferBytes,
                       std::u16string& failureText) {
    char errorText[PCAP_ERRBUF_SIZE] = "";
    HandleOwner handle(library.create(deviceName, errorText), library.close);
    if (handle == nullptr) {
        errorText[PCAP_ERRBUF_SIZE - 1] = '\0';
        failureText = openFailureText(errorText);
        return handle;
    }
    library.set_snaplen(handle.get(), kCaptureSnapshotLength);
    library.set_promisc(handle.get(), kCapturePromiscuous);
    library.set_timeout(handle.get(), readTimeoutMs);
    library.set_buffer_size(handle.get(), bufferBytes);
    const int status = library.activate(handle.get());
    if (status < 0) {
        const char* reason = library.geterr(handle.get());
        failureText = openFailureText(reason != nullptr && reason[0] != '\0' ? reason : library.statustostr(status));
        handle.reset();
    }
    return handle;
}

int ringBytes(const CaptureLibrary& library, const KernelCounting* counting) {
    return counting != nullptr && library.fileno != nullptr ? kKernelCountedBufferBytes : kCaptureBufferBytes;
}

// After the observer heard of the opening, so that what the kernel counted
// for an earlier capture can be set aside first. Frames that came before the
// program was attached are in the ring already and are decoded as ever: none
// is counted twice or lost.
void countInKernel(const CaptureLibrary& library, pcap_t* handle, KernelCounting* counting, bool namedInterfaces) {
    if (counting == nullptr || library.fileno == nullptr) return;
    counting->attach(library.fileno(handle), linkTypeFromDatalink(library.datalink(handle)), namedInterfaces);
}

// Tells the observer, if any, how a run goes.
struct RunReport {
    CaptureObserver* observer;
    std::uint32_t address;
    void opened(const char* device) const {
        if (observer) observer->captureOpened(address, device);
    }
    void failed(Notifier& notifier, const std::u16string& text) const {
        showError(notifier, text);
        if (observer) observer->captureFailed(address, text);
    }
    void ended() const {
        if (observer) observer->captureEnded(address);
    }
};

bool stillWanted(const CaptureControl& control, std::uint32_t captureAddress) {
    return control.captureRunning.load() && control.localAddress.load() == captureAddress;
}

// Polls for a device that carries the address again; false when the run is
// no longer wanted (stopped, or another interface chosen) before it appears.
bool waitForAddress(const CaptureControl& control, const CaptureLibrary& library, std::uint32_t captureAddress) {
    for (;;) {
        for (int waited = 0; waited < kAddressPollMs; waited += 50) {
            if (!stillWanted(control, captureAddress)) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        char errorText[PCAP_ERRBUF_SIZE] = "";
        pcap_if_t* devices = nullptr;
        if (library.findalldevs(&devices, errorText) == -1 || devices == nullptr) continue;
        const bool present = chooseDevice(devices, captureAddress) != nullptr;
        library.freealldevs(devices);
        if (present) return true;
    }
}

enum class RunEnd { Stopped, Failed, InterfaceGone };

void readDrops(CaptureControl& control, const CaptureLibrary& library, pcap_t* handle) {
    pcap_stat statistics{};
    if (library.stats != nullptr && library.stats(handle, &statistics) == 0)
        control.packetsDropped.store(std::uint64_t(statistics.ps_drop) + statistics.ps_ifdrop);
}

// Chooses, opens and dispatches until the run ends one way or another.
RunEnd captureOnce(const std::shared_ptr<CaptureControl>& control, Notifier& notifier, LiveCaptureHandles& handles,
                   const CaptureLibrary& library, const RunReport& report, bool quietWrongInterface,
                   KernelCounting* counting) {
    const std::uint32_t captureAddress = report.address;
    char errorText[PCAP_ERRBUF_SIZE] = "";
    pcap_if_t* devices = nullptr;
    if (library.findalldevs(&devices, errorText) == -1) {
        report.failed(notifier, u"Error resolving interface list");
        return RunEnd::Failed;
    }
    if (devices == nullptr) {
        report.failed(notifier, u"No interfaces available!");
        return RunEnd::Failed;
    }
    std::unique_ptr<pcap_if_t, void (*)(pcap_if_t*)> deviceList(devices, library.freealldevs);

    const pcap_if_t* device = chooseDevice(devices, captureAddress);
    if (device == nullptr) {
        if (!quietWrongInterface) report.failed(notifier, u"Wrong interface!");
        return RunEnd::InterfaceGone;
    }
    std::u16string failureText;
    const int readTimeoutMs = control->promptDelivery ? kCapturePromptReadTimeoutMs : kCaptureReadTimeoutMs;
    HandleOwner opened = openDevice(library, device->name, readTimeoutMs, ringBytes(library, counting), failureText);
    if (opened == nullptr) {
        report.failed(notifier, failureText);
        return RunEnd::Failed;
    }
    const std::uint32_t interfaceIndex = ::if_nametoindex(device->name);
    report.opened(device->name);
    countInKernel(library, opened.get(), counting, false);
    deviceList.reset();

    pcap_t* handle = opened.release();
    const LiveCaptureHandles::Registration registration(handles, handle, library.breakloop, library.close);
    DecodeContext context{&control->queue, linkTypeFromDatalink(library.datalink(handle))};
    context.interfaceIndex = interfaceIndex;
    auto* user = reinterpret_cast<u_char*>(&context);

    if (!control->captureRunning.load()) {
        return RunEnd::Stopped;
    }
    auto lastStatistics = std::chrono::steady_clock::now();
    while (control->localAddress.load() == captureAddress) {
        // 0 (timeout) and -2 (woken by pcap_breakloop) both just lead to the flag checks.
        if (library.dispatch(handle, kCaptureFramesPerDispatch, DecodeFrame, user) == -1) {
            report.failed(notifier, u"pcap_dispatch() failed!");
            return RunEnd::InterfaceGone;
        }
        if (!control->captureRunning.load()) {
            break;
        }
        if (std::chrono::steady_clock::now() - lastStatistics >= std::chrono::seconds(1)) {
            lastStatistics = std::chrono::steady_clock::now();
            readDrops(*control, library, handle);
        }
    }
    return RunEnd::Stopped;
}

constexpr char kAnyDevice[] = "any";

// A list or all: libpcap's "any" device, whose one socket sees every
// interface, those that come later included, and whose cooked frames say
// which interface each came by. One handle instead of one per interface: one
// kernel ring, and an interface that appears is captured from its first frame.
RunEnd captureInterfacesOnce(const std::shared_ptr<CaptureControl>& control, Notifier& notifier,
                             LiveCaptureHandles& handles, const CaptureLibrary& library, const RunReport& report,
                             const CaptureSet& set, std::uint32_t generation, KernelCounting* counting) {
    std::u16string failureText;
    const int readTimeoutMs = control->promptDelivery ? kCapturePromptReadTimeoutMs : kCaptureReadTimeoutMs;
    HandleOwner opened = openDevice(library, kAnyDevice, readTimeoutMs, ringBytes(library, counting), failureText);
    if (opened == nullptr) {
        report.failed(notifier, failureText);
        return RunEnd::Failed;
    }
    if (library.set_datalink == nullptr || library.set_datalink(opened.get(), DLT_LINUX_SLL2) != 0) {
        report.failed(notifier, u"Unable to open the adapter!\nThis libpcap cannot say which interface a frame "
                                u"came by (version 1.10 or later is needed to capture several interfaces).");
        return RunEnd::Failed;
    }
    const bool named = set.kind == CaptureSet::Kind::Names;
    if (counting) counting->forgetInterfaces();
    report.opened(kAnyDevice);
    countInKernel(library, opened.get(), counting, named);

    const LiveCaptureHandles::Registration registration(handles, opened.release(), library.breakloop, library.close);
    pcap_t* handle = registration.handle();
    InterfaceFilter filter(set.names);
    filter.setKernelCounting(counting);
    DuplicateFrames duplicates;
    DecodeContext context{&control->queue, LinkType::LinuxCooked2};
    context.duplicates = &duplicates;
    if (named) context.interfaces = &filter;
    auto* user = reinterpret_cast<u_char*>(&context);

    auto lastStatistics = std::chrono::steady_clock::now();
    while (control->captureRunning.load() && control->setGeneration.load() == generation) {
        if (library.dispatch(handle, kCaptureFramesPerDispatch, DecodeFrame, user) == -1) {
            report.failed(notifier, u"pcap_dispatch() failed!");
            return RunEnd::Failed;
        }
        if (std::chrono::steady_clock::now() - lastStatistics >= std::chrono::seconds(1)) {
            lastStatistics = std::chrono::steady_clock::now();
            readDrops(*control, library, handle);
            filter.forget();
        }
    }
    return RunEnd::Stopped;
}

}  // namespace

void CaptureThread(const std::shared_ptr<CaptureControl>& control, Notifier& notifier, LiveCaptureHandles& handles,
                   const CaptureLibraryLoader& loadLibrary, CaptureObserver* observer, KernelCounting* counting) {
    const std::uint32_t generation = control->setGeneration.load();
    const CaptureSet set = control->captureSet();
    const std::uint32_t captureAddress = set.followsInterfaces() ? 0 : set.address;
    const RunReport report{observer, captureAddress};

    const CaptureLibraryLoad load = loadLibrary();
    if (const auto* failure = std::get_if<CaptureLibraryFailure>(&load)) {
        if (failure->error == CaptureLibraryError::NotLoadable) {
            notifier.showCaptureLibraryMissing();
            if (observer) observer->captureFailed(captureAddress, u"PCAP library is missing");
        } else {
            report.failed(notifier, u"Can't find function in " + utf8ToU16(failure->fileName));
        }
        return;
    }
    const CaptureLibrary& library = std::get<CaptureLibrary>(load);
    if (set.followsInterfaces()) {
        captureInterfacesOnce(control, notifier, handles, library, report, set, generation, counting);
        report.ended();
        return;
    }

    // A missing address is said once; while it stays away nothing more is shown.
    bool waitingForAddress = false;
    for (;;) {
        const RunEnd end = captureOnce(control, notifier, handles, library, report, waitingForAddress, counting);
        if (end != RunEnd::InterfaceGone || !control->resumeWhenAddressReturns) break;
        waitingForAddress = true;
        if (!waitForAddress(*control, library, captureAddress)) break;
    }
    report.ended();
}

void startCaptureThread(std::shared_ptr<CaptureControl> control, std::shared_ptr<Notifier> notifier,
                        std::shared_ptr<LiveCaptureHandles> handles, CaptureLibraryLoader loadLibrary,
                        std::shared_ptr<CaptureObserver> observer, std::shared_ptr<KernelCounting> counting) {
    std::thread([control = std::move(control), notifier = std::move(notifier), handles = std::move(handles),
                 loadLibrary = std::move(loadLibrary), observer = std::move(observer), counting = std::move(counting)] {
        CaptureThread(control, *notifier, *handles, loadLibrary, observer.get(), counting.get());
    }).detach();
}

void stopCapture(CaptureControl& control, LiveCaptureHandles& handles) {
    control.captureRunning.store(false);
    handles.wakeAll();
}

}  // namespace sondrel
