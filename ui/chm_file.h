#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <QByteArray>
#include <QString>

struct chmFile;

namespace sondrel {

// The default topic named in a help file's "/#SYSTEM" object: a version word,
// then records of code, length and data (little-endian 16-bit each); the
// record with code 2 holds the topic as NUL-terminated text, e.g.
// 03 00 00 00 | 02 00 0b 00 "index.html\0". Empty when there is none or the
// data is cut short.
std::string chmDefaultTopic(std::span<const std::uint8_t> system);

// A compiled HTML help file opened with chmlib; objects are read by their
// path inside the file ("/index.html").
class ChmFile {
public:
    // Nothing when the file is missing or is not a help file.
    static std::unique_ptr<ChmFile> open(const QString& path);
    ~ChmFile();
    ChmFile(const ChmFile&) = delete;
    ChmFile& operator=(const ChmFile&) = delete;

    // Nothing when no such object exists, it is larger than kMaxObjectBytes or cannot be read.
    std::optional<QByteArray> read(const std::string& objectPath) const;

    // The path of the page the help opens on: the file's default topic, else
    // "/index.html" or "/default.htm" when present; empty when there is none.
    std::string defaultPage() const;

    static constexpr std::uint64_t kMaxObjectBytes = 64ull * 1024 * 1024;

private:
    explicit ChmFile(chmFile* handle);
    bool contains(const std::string& objectPath) const;

    chmFile* m_handle;
};

}  // namespace sondrel
