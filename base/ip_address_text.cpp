#include "base/ip_address_text.h"

#include <cstddef>
#include <cstdint>

namespace sondrel {

namespace {

constexpr std::size_t kGroups = 8;
constexpr std::size_t kLongestText = 39;  // eight groups of four digits and seven colons

std::size_t writeHexGroup(unsigned group, char16_t* out) {
    static constexpr char16_t kDigits[] = u"0123456789abcdef";
    std::size_t n = 0;
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        const unsigned digit = group >> shift & 0xFu;
        started = started || digit != 0 || shift == 0;
        if (started) {
            out[n++] = kDigits[digit];
        }
    }
    return n;
}

std::size_t writeDecimalByte(unsigned value, char16_t* out) {
    std::size_t n = 0;
    if (value >= 100) out[n++] = char16_t(u'0' + value / 100);
    if (value >= 10) out[n++] = char16_t(u'0' + value / 10 % 10);
    out[n++] = char16_t(u'0' + value % 10);
    return n;
}

bool isIpv4Mapped(const Ipv6Address& address) {
    for (std::size_t i = 0; i < 10; ++i) {
        if (address[i] != 0) {
            return false;
        }
    }
    return address[10] == 0xFF && address[11] == 0xFF;
}

std::size_t writeIpv4Mapped(const Ipv6Address& address, char16_t* out) {
    static constexpr char16_t kPrefix[] = u"::ffff:";
    std::size_t n = 0;
    for (std::size_t i = 0; kPrefix[i] != u'\0'; ++i) {
        out[n++] = kPrefix[i];
    }
    for (std::size_t i = 12; i < 16; ++i) {
        n += writeDecimalByte(address[i], out + n);
        if (i < 15) out[n++] = u'.';
    }
    return n;
}

std::size_t writeIpv6(const Ipv6Address& address, char16_t* out) {
    unsigned groups[kGroups];
    for (std::size_t i = 0; i < kGroups; ++i) {
        groups[i] = unsigned(address[2 * i]) << 8 | address[2 * i + 1];
    }
    // A strictly longer run replaces the best one, so the first of equal runs wins.
    std::size_t bestStart = kGroups;
    std::size_t bestLength = 1;
    for (std::size_t i = 0; i < kGroups;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < kGroups && groups[end] == 0) {
            ++end;
        }
        if (end - i > bestLength) {
            bestStart = i;
            bestLength = end - i;
        }
        i = end;
    }
    std::size_t n = 0;
    bool colonBefore = false;
    for (std::size_t i = 0; i < kGroups;) {
        if (i == bestStart) {
            out[n++] = u':';
            out[n++] = u':';
            colonBefore = false;
            i += bestLength;
            continue;
        }
        if (colonBefore) {
            out[n++] = u':';
        }
        n += writeHexGroup(groups[i], out + n);
        colonBefore = true;
        ++i;
    }
    return n;
}

}  // namespace

void FormatIPv6(const Ipv6Address& address, std::u16string& out) {
    char16_t buffer[kLongestText];
    const std::size_t n = isIpv4Mapped(address) ? writeIpv4Mapped(address, buffer) : writeIpv6(address, buffer);
    out.assign(buffer, n);
}

std::u16string FormatIPv6(const Ipv6Address& address) {
    std::u16string out;
    FormatIPv6(address, out);
    return out;
}

}  // namespace sondrel
