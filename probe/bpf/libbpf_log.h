#pragma once

#include <bpf/libbpf.h>

#include <string>

namespace sondrel::bpf {

// While alive, libbpf's messages on this thread (all but debug ones) are
// appended to `log` instead of printed; only the last few kilobytes are
// kept, since a verifier log's end says what failed.
class LibbpfLogCapture {
public:
    explicit LibbpfLogCapture(std::string& log);
    ~LibbpfLogCapture();
    LibbpfLogCapture(const LibbpfLogCapture&) = delete;
    LibbpfLogCapture& operator=(const LibbpfLogCapture&) = delete;

private:
    libbpf_print_fn_t m_previous;
};

// The reason, followed by the end of libbpf's log when there is one.
std::string withLog(std::string reason, const std::string& log);

}  // namespace sondrel::bpf
