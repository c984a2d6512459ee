#pragma once

// A capture device that never sees a frame, for tests of what ends a capture
// run: pcap_dispatch returns only when pcap_breakloop is called, as libpcap
// does on an idle Linux interface. Its one device carries 10.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>

#include <condition_variable>
#include <mutex>

#include "probe/capture/pcap_library.h"

namespace sondrel::testing {

inline constexpr const char* kIdleAddress = "10.0.0.1";

// A capture device that never sees a frame: pcap_dispatch returns only when
// pcap_breakloop is called, as libpcap does on an idle Linux interface.
struct IdleInterface {
    std::mutex lock;
    std::condition_variable changed;
    bool dispatching = false;
    bool breakRequested = false;
    bool closed = false;
    sockaddr_in ipv4{};
    pcap_addr_t address{};
    pcap_if_t device{};
    char name[8] = "idle0";
};

// Never destroyed: the capture thread may still be inside it while the process ends.
inline IdleInterface& idle() {
    static IdleInterface* const instance = new IdleInterface;
    return *instance;
}

inline int findalldevs(pcap_if_t** list, char*) {
    IdleInterface& i = idle();
    i.ipv4.sin_family = AF_INET;
    i.ipv4.sin_addr.s_addr = inet_addr(kIdleAddress);
    i.address.addr = reinterpret_cast<sockaddr*>(&i.ipv4);
    i.device.name = i.name;
    i.device.addresses = &i.address;
    *list = &i.device;
    return 0;
}
inline void freealldevs(pcap_if_t*) {}
inline pcap_t* openLive(const char*, int, int, int, char*) { return reinterpret_cast<pcap_t*>(&idle()); }
inline pcap_t* create(const char*, char*) { return reinterpret_cast<pcap_t*>(&idle()); }
inline int setOption(pcap_t*, int) { return 0; }
inline int activate(pcap_t*) { return 0; }
inline char* geterr(pcap_t*) { return idle().name; }
inline const char* statustostr(int) { return "idle"; }
inline int compile(pcap_t*, bpf_program*, const char*, int, bpf_u_int32) { return -1; }
inline int setfilter(pcap_t*, bpf_program*) { return -1; }
inline int datalink(pcap_t*) { return DLT_EN10MB; }

inline int dispatch(pcap_t*, int, pcap_handler, u_char*) {
    IdleInterface& i = idle();
    std::unique_lock guard(i.lock);
    i.dispatching = true;
    i.changed.notify_all();
    i.changed.wait(guard, [&] { return i.breakRequested; });
    i.breakRequested = false;
    i.dispatching = false;
    return PCAP_ERROR_BREAK;
}

inline void breakloop(pcap_t*) {
    IdleInterface& i = idle();
    const std::scoped_lock guard(i.lock);
    i.breakRequested = true;
    i.changed.notify_all();
}

inline void closeHandle(pcap_t*) {
    IdleInterface& i = idle();
    const std::scoped_lock guard(i.lock);
    i.closed = true;
}

inline CaptureLibraryLoad idleLibrary() {
    CaptureLibrary library;
    library.findalldevs = findalldevs;
    library.freealldevs = freealldevs;
    library.open_live = openLive;
    library.compile = compile;
    library.setfilter = setfilter;
    library.dispatch = dispatch;
    library.close = closeHandle;
    library.datalink = datalink;
    library.breakloop = breakloop;
    library.create = create;
    library.set_snaplen = setOption;
    library.set_promisc = setOption;
    library.set_timeout = setOption;
    library.set_buffer_size = setOption;
    library.activate = activate;
    library.geterr = geterr;
    library.statustostr = statustostr;
    library.fileName = "libpcap.so.0.8";
    return library;
}

}  // namespace sondrel::testing
