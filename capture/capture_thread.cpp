#include "capture/capture_thread.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <thread>
#include <variant>

#include "base/text.h"
#include "capture/decode_frame.h"

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
HandleOwner openDevice(const CaptureLibrary& library, const char* deviceName, std::u16string& failureText) {
    char errorText[PCAP_ERRBUF_SIZE] = "";
    HandleOwner handle(library.create(deviceName, errorText), library.close);
    if (handle == nullptr) {
        errorText[PCAP_ERRBUF_SIZE - 1] = '\0';
        failureText = openFailureText(errorText);
        return handle;
    }
    library.set_snaplen(handle.get(), kCaptureSnapshotLength);
    library.set_promisc(handle.get(), kCapturePromiscuous);
    library.set_timeout(handle.get(), kCaptureReadTimeoutMs);
    library.set_buffer_size(handle.get(), kCaptureBufferBytes);
    const int status = library.activate(handle.get());
    if (status < 0) {
        const char* reason = library.geterr(handle.get());
        failureText = openFailureText(reason != nullptr && reason[0] != '\0' ? reason : library.statustostr(status));
        handle.reset();
    }
    return handle;
}

}  // namespace

void CaptureThread(const std::shared_ptr<CaptureControl>& control, Notifier& notifier, LiveCaptureHandles& handles,
                   const CaptureLibraryLoader& loadLibrary) {
    const std::uint32_t captureAddress = control->localAddress.load();

    const CaptureLibraryLoad load = loadLibrary();
    if (const auto* failure = std::get_if<CaptureLibraryFailure>(&load)) {
        if (failure->error == CaptureLibraryError::NotLoadable) {
            notifier.showCaptureLibraryMissing();
        } else {
            showError(notifier, u"Can't find function in " + utf8ToU16(failure->fileName));
        }
        return;
    }
    const CaptureLibrary& library = std::get<CaptureLibrary>(load);

    char errorText[PCAP_ERRBUF_SIZE] = "";
    pcap_if_t* devices = nullptr;
    if (library.findalldevs(&devices, errorText) == -1) {
        showError(notifier, u"Error resolving interface list");
        return;
    }
    if (devices == nullptr) {
        showError(notifier, u"No interfaces available!");
        return;
    }
    std::unique_ptr<pcap_if_t, void (*)(pcap_if_t*)> deviceList(devices, library.freealldevs);

    const pcap_if_t* device = chooseDevice(devices, captureAddress);
    if (device == nullptr) {
        showError(notifier, u"Wrong interface!");
        return;
    }
    std::u16string failureText;
    HandleOwner opened = openDevice(library, device->name, failureText);
    if (opened == nullptr) {
        showError(notifier, failureText);
        return;
    }
    deviceList.reset();

    pcap_t* handle = opened.release();
    const LiveCaptureHandles::Registration registration(handles, handle, library.breakloop, library.close);
    DecodeContext context{&control->queue, linkTypeFromDatalink(library.datalink(handle))};
    auto* user = reinterpret_cast<u_char*>(&context);

    if (!control->captureRunning.load()) {
        return;
    }
    while (control->localAddress.load() == captureAddress) {
        // 0 (timeout) and -2 (woken by pcap_breakloop) both just lead to the flag checks.
        if (library.dispatch(handle, kCaptureFramesPerDispatch, DecodeFrame, user) == -1) {
            showError(notifier, u"pcap_dispatch() failed!");
            return;
        }
        if (!control->captureRunning.load()) {
            break;
        }
    }
}

void startCaptureThread(std::shared_ptr<CaptureControl> control, std::shared_ptr<Notifier> notifier,
                        std::shared_ptr<LiveCaptureHandles> handles, CaptureLibraryLoader loadLibrary) {
    std::thread([control = std::move(control), notifier = std::move(notifier), handles = std::move(handles),
                 loadLibrary = std::move(loadLibrary)] { CaptureThread(control, *notifier, *handles, loadLibrary); })
        .detach();
}

void stopCapture(CaptureControl& control, LiveCaptureHandles& handles) {
    control.captureRunning.store(false);
    handles.wakeAll();
}

}  // namespace sondrel
