#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/main_lists.h"

// Any UTF-16 text through ParseByteCount; and any 64-bit count formatted and
// parsed back gives no more than the count and the same text.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string text(size / 2, u'\0');
    if (!text.empty()) std::memcpy(text.data(), data, text.size() * 2);
    (void)sondrel::ParseByteCount(text);
    if (size >= 8) {
        std::uint64_t count;
        std::memcpy(&count, data, 8);
        const std::u16string shown = sondrel::FormatByteCount(count);
        const auto back = std::uint64_t(sondrel::ParseByteCount(shown));
        if (back > count || sondrel::FormatByteCount(back) != shown) __builtin_trap();
    }
    return 0;
}
