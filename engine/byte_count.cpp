#include <climits>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/main_lists.h"
#include "base/text.h"

namespace sondrel {

std::u16string FormatByteCount(std::uint64_t count) {
    // "%u" takes 32 bits: the quotient of a count beyond 2^72 bytes would wrap,
    // which no 64-bit counter reaches, so the plain quotient is printed.
    std::u16string text;
    if (count < (1u << 10)) {
        text = decimalU16(count) + u" B";
    } else if (count < (1u << 20)) {
        text = decimalU16(count >> 10) + u" KB";
    } else if (count < (std::uint64_t(1) << 40)) {
        text = decimalU16(count >> 20) + u" MB";
    } else {
        text = decimalU16(count >> 40) + u" GB";
    }
    return text;
}

std::int64_t ParseByteCount(std::u16string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    // The leading number is a signed 32-bit value; like strtol-to-int it saturates.
    std::int64_t n = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        n = n * 10 + (text[i] - u'0');
        if (n > std::int64_t(INT32_MAX) + 1) n = std::int64_t(INT32_MAX) + 1;
    }
    if (negative) n = -n;
    if (n > INT32_MAX) n = INT32_MAX;
    if (n < INT32_MIN) n = INT32_MIN;
    std::int64_t unit = 1;
    if (text.find(u"GB") != std::u16string_view::npos) {
        unit = std::int64_t(1) << 40;
    } else if (text.find(u"MB") != std::u16string_view::npos) {
        unit = std::int64_t(1) << 20;
    } else if (text.find(u"KB") != std::u16string_view::npos) {
        unit = std::int64_t(1) << 10;
    }
    // Formed in 64 bits; a product beyond 64 bits wraps as the machine multiply does.
    return std::int64_t(std::uint64_t(n) * std::uint64_t(unit));
}

}  // namespace sondrel
