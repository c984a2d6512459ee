#include "config/cp1251.h"

#include <array>

namespace sondrel {

namespace {

// Bytes 0x80..0xBF; 0xC0..0xFF are U+0410..U+044F in alphabetical order.
constexpr std::array<char16_t, 64> kUpperHalf = {
    u'\u0402', u'\u0403', u'\u201A', u'\u0453', u'\u201E', u'\u2026', u'\u2020', u'\u2021',
    u'\u20AC', u'\u2030', u'\u0409', u'\u2039', u'\u040A', u'\u040C', u'\u040B', u'\u040F',
    u'\u0452', u'\u2018', u'\u2019', u'\u201C', u'\u201D', u'\u2022', u'\u2013', u'\u2014',
    u'\u0098', u'\u2122', u'\u0459', u'\u203A', u'\u045A', u'\u045C', u'\u045B', u'\u045F',
    u'\u00A0', u'\u040E', u'\u045E', u'\u0408', u'\u00A4', u'\u0490', u'\u00A6', u'\u00A7',
    u'\u0401', u'\u00A9', u'\u0404', u'\u00AB', u'\u00AC', u'\u00AD', u'\u00AE', u'\u0407',
    u'\u00B0', u'\u00B1', u'\u0406', u'\u0456', u'\u0491', u'\u00B5', u'\u00B6', u'\u00B7',
    u'\u0451', u'\u2116', u'\u0454', u'\u00BB', u'\u0458', u'\u0405', u'\u0455', u'\u0457',
};

constexpr char16_t kCyrillicA = u'\u0410';
constexpr char16_t kCyrillicYa = u'\u044F';

char16_t decodeByte(unsigned char byte) {
    if (byte < 0x80) return byte;
    if (byte >= 0xC0) return char16_t(kCyrillicA + (byte - 0xC0));
    return kUpperHalf[byte - 0x80];
}

// 0 when the character has no 1251 form (U+0000 itself is handled by the caller).
unsigned char encodeUnit(char16_t unit) {
    if (unit < 0x80) return static_cast<unsigned char>(unit);
    if (unit >= kCyrillicA && unit <= kCyrillicYa) return static_cast<unsigned char>(0xC0 + (unit - kCyrillicA));
    for (std::size_t i = 0; i < kUpperHalf.size(); ++i) {
        if (kUpperHalf[i] == unit) return static_cast<unsigned char>(0x80 + i);
    }
    return 0;
}

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

bool appendCp1251(std::string& out, std::u16string_view text) {
    bool replaced = false;
    out.reserve(out.size() + text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit == 0) {
            out.push_back('\0');
            continue;
        }
        const unsigned char byte = encodeUnit(unit);
        if (byte != 0) {
            out.push_back(static_cast<char>(byte));
            continue;
        }
        if (isHighSurrogate(unit) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) ++i;
        out.push_back('?');
        replaced = true;
    }
    return replaced;
}

std::string encodeCp1251(std::u16string_view text, bool* replaced) {
    std::string out;
    const bool didReplace = appendCp1251(out, text);
    if (replaced != nullptr) *replaced = didReplace;
    return out;
}

std::u16string decodeCp1251(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for (const char c : bytes) out.push_back(decodeByte(static_cast<unsigned char>(c)));
    return out;
}

std::string lfToCrLf(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 16);
    for (const char c : bytes) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

}  // namespace sondrel
