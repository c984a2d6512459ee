#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "metrics/http_request.h"

// Any bytes as a received request head, under a limit the first byte picks.
// A verdict, once given, must not change with more bytes, and Ok only ever
// answers a GET of /metrics whose head has ended.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t limit = 16 + std::size_t(data[0]) * 32;
    const std::string_view received(reinterpret_cast<const char*>(data + 1), size - 1);
    const sondrel::HttpRequestCheck check = sondrel::checkHttpRequest(received, limit);
    if (!check.complete) {
        if (received.size() >= limit) __builtin_trap();
        return 0;
    }
    const sondrel::HttpRequestCheck longer = sondrel::checkHttpRequest(std::string(received) + "\r\n\r\nX", limit);
    if (!longer.complete || longer.status != check.status) __builtin_trap();
    if (check.status == sondrel::HttpStatus::Ok) {
        const std::size_t end = received.find("\r\n\r\n");
        if (end == std::string_view::npos || end + 4 > limit || !received.starts_with("GET /metrics")) __builtin_trap();
    }
    return 0;
}
