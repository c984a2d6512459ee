#include "base/notifier.h"

#include <cstdio>
#include <mutex>

#include "base/text.h"

namespace sondrel {

namespace {
std::mutex& stderrLock() {
    static auto* lock = new std::mutex;  // never destroyed: worker threads may print during exit
    return *lock;
}
}  // namespace

void StderrNotifier::showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon) {
    const std::scoped_lock guard(stderrLock());
    std::fprintf(stderr, "sondrel: %s: %s\n", u16ToUtf8(caption).c_str(), u16ToUtf8(text).c_str());
}

void StderrNotifier::showCaptureLibraryMissing() {
    showMessage(u"Error", u"PCAP library is not installed: install the libpcap package.", MessageIcon::Error);
}

}  // namespace sondrel
