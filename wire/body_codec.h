#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "wire/frames.h"

namespace sondrel::wire {

// How the messages of both directions lay out their bodies: numbers are
// little-endian, texts UTF-8 with a 16-bit length.
class BodyWriter {
public:
    void u8(std::uint8_t value) { m_bytes.push_back(value); }
    void u16(std::uint16_t value) { little(value, 2); }
    void u32(std::uint32_t value) { little(value, 4); }
    void u64(std::uint64_t value) { little(value, 8); }
    void i64(std::int64_t value) { u64(std::uint64_t(value)); }
    void bytes(const std::uint8_t* data, std::size_t size) { m_bytes.insert(m_bytes.end(), data, data + size); }
    // Cut at a character boundary, so the peer never sees half a UTF-8 sequence.
    void text(const std::string& value, std::size_t maxBytes) {
        std::size_t size = std::min(value.size(), maxBytes);
        while (size < value.size() && size > 0 && (std::uint8_t(value[size]) & 0xC0) == 0x80) --size;
        u16(std::uint16_t(size));
        bytes(reinterpret_cast<const std::uint8_t*>(value.data()), size);
    }
    void finish(std::vector<std::uint8_t>& out, Kind kind) const { appendFrame(out, kind, m_bytes); }
    void reserve(std::size_t size) { m_bytes.reserve(size); }

private:
    void little(std::uint64_t value, int size) {
        for (int i = 0; i < size; ++i) m_bytes.push_back(std::uint8_t(value >> (8 * i)));
    }
    std::vector<std::uint8_t> m_bytes;
};

// Reads a body front to back; any read past its end fails the whole decode.
class BodyReader {
public:
    explicit BodyReader(std::span<const std::uint8_t> body) : m_body(body) {}

    bool u8(std::uint8_t& value) { return little(value); }
    bool u16(std::uint16_t& value) { return little(value); }
    bool u32(std::uint32_t& value) { return little(value); }
    bool u64(std::uint64_t& value) { return little(value); }
    bool i64(std::int64_t& value) {
        std::uint64_t raw;
        if (!u64(raw)) return false;
        value = std::int64_t(raw);
        return true;
    }
    bool bytes(std::uint8_t* data, std::size_t size) {
        if (m_body.size() - m_offset < size) return false;
        std::memcpy(data, m_body.data() + m_offset, size);
        m_offset += size;
        return true;
    }
    bool text(std::string& value, std::size_t maxBytes) {
        std::uint16_t size;
        if (!u16(size) || size > maxBytes || m_body.size() - m_offset < size) return false;
        value.assign(reinterpret_cast<const char*>(m_body.data() + m_offset), size);
        m_offset += size;
        return true;
    }
    std::size_t left() const { return m_body.size() - m_offset; }
    bool done() const { return m_offset == m_body.size(); }

private:
    template <typename T>
    bool little(T& value) {
        if (m_body.size() - m_offset < sizeof(T)) return false;
        T result = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) result |= T(T(m_body[m_offset + i]) << (8 * i));
        value = result;
        m_offset += sizeof(T);
        return true;
    }
    std::span<const std::uint8_t> m_body;
    std::size_t m_offset = 0;
};

}  // namespace sondrel::wire
