#include "base/text.h"

#include <array>

namespace sondrel {

namespace {
constexpr char16_t kReplacement = u'\uFFFD';

bool isControl(char16_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

bool isFormatting(char16_t c) {
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F ||
           c == 0x061C || c == 0x2028 || c == 0x2029;
}

char16_t hexDigit(unsigned value, bool upper) {
    return char16_t(value < 10 ? u'0' + value : (upper ? u'A' : u'a') + value - 10);
}

}  // namespace

std::u16string asciiToU16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (unsigned char c : text) out.push_back(c < 0x80 ? char16_t(c) : kReplacement);
    return out;
}

std::u16string utf8ToU16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        std::size_t len = 0;
        char32_t cp = 0;
        char32_t minimum = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            len = 2; cp = lead & 0x1F; minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            len = 3; cp = lead & 0x0F; minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            len = 4; cp = lead & 0x07; minimum = 0x10000;
        }
        if (len == 0) {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        std::size_t k = 1;
        for (; k < len && i + k < n && (p[i + k] & 0xC0) == 0x80; ++k) cp = (cp << 6) | (p[i + k] & 0x3F);
        if (k < len || cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(kReplacement);
            i += k;  // skip the lead and the continuation bytes that belonged to it
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
        i += len;
    }
    return out;
}

std::string u16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        if (cp < 0x80) {
            out.push_back(char(cp));
        } else if (cp < 0x800) {
            out.push_back(char(0xC0 | (cp >> 6)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(char(0xE0 | (cp >> 12)));
            out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (cp >> 18)));
            out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::u16string decimalU16(std::uint64_t value) {
    std::array<char16_t, 20> digits{};
    std::size_t n = 0;
    do {
        digits[n++] = char16_t(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    std::u16string out;
    out.reserve(n);
    while (n > 0) out.push_back(digits[--n]);
    return out;
}

std::u16string decimalU16(std::int64_t value) {
    if (value >= 0) return decimalU16(std::uint64_t(value));
    std::u16string out = u"-";
    out += decimalU16(std::uint64_t(0) - std::uint64_t(value));
    return out;
}

bool needsVisibleEscape(std::u16string_view text) {
    for (const char16_t c : text)
        if (isControl(c) || isFormatting(c)) return true;
    return false;
}

std::u16string visibleText(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (const char16_t c : text) {
        if (isControl(c)) {
            out += u"\\x";
            out.push_back(hexDigit(c >> 4, false));
            out.push_back(hexDigit(c & 0xF, false));
        } else if (isFormatting(c)) {
            out += u"<U+";
            for (int shift = 12; shift >= 0; shift -= 4) out.push_back(hexDigit((c >> shift) & 0xF, true));
            out.push_back(u'>');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::u16string truncateUnits(std::u16string text, std::size_t maxUnits) {
    if (text.size() <= maxUnits) return text;
    std::size_t cut = maxUnits;
    if (cut > 0 && text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF) --cut;
    text.resize(cut);
    return text;
}

}  // namespace sondrel
