#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/text.h"

// Any UTF-16 text made visible keeps nothing to escape, reads the same after a
// second pass, and is changed exactly when it needed to be.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string text(size / 2, u'\0');
    if (!text.empty()) std::memcpy(text.data(), data, text.size() * 2);
    const std::u16string shown = sondrel::visibleText(text);
    if (sondrel::needsVisibleEscape(shown)) __builtin_trap();
    if (sondrel::visibleText(shown) != shown) __builtin_trap();
    if (sondrel::needsVisibleEscape(text) != (shown != text)) __builtin_trap();
    if (shown.size() < text.size()) __builtin_trap();
    return 0;
}
