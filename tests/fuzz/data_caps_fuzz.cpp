#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/data_caps.h"

// Any bytes as the caps file: every cap read must write back as a line and
// read back the same.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<sondrel::DataCap> caps = sondrel::decodeDataCaps(bytes);
    for (const sondrel::DataCap& cap : caps) {
        if (cap.limitBytes == 0) __builtin_trap();
    }
    const std::optional<std::string> text = sondrel::encodeDataCaps(caps);
    if (!text || sondrel::decodeDataCaps(*text) != caps) __builtin_trap();
    return 0;
}
