#include "probe/bpf/libbpf_log.h"

#include <cstdarg>
#include <cstdio>

namespace sondrel::bpf {

namespace {

// libbpf's print callback has no user pointer.
thread_local std::string* t_libbpfLog = nullptr;

int collectLibbpfLog(enum libbpf_print_level level, const char* format, va_list args) {
    if (level == LIBBPF_DEBUG || t_libbpfLog == nullptr) return 0;
    char line[1024];
    vsnprintf(line, sizeof line, format, args);
    t_libbpfLog->append(line);
    constexpr std::size_t kKeep = 3000;
    if (t_libbpfLog->size() > 2 * kKeep) t_libbpfLog->erase(0, t_libbpfLog->size() - kKeep);
    return 0;
}

}  // namespace

LibbpfLogCapture::LibbpfLogCapture(std::string& log) : m_previous(libbpf_set_print(collectLibbpfLog)) {
    t_libbpfLog = &log;
}

LibbpfLogCapture::~LibbpfLogCapture() {
    t_libbpfLog = nullptr;
    libbpf_set_print(m_previous);
}

std::string withLog(std::string reason, const std::string& log) {
    if (log.empty()) return reason;
    const auto tail = log.size() > 1500 ? log.substr(log.size() - 1500) : log;
    return reason + "\nlibbpf: " + tail;
}

}  // namespace sondrel::bpf
