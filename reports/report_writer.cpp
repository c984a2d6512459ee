#include "reports/report_writer.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>

#include "config/cp1251.h"

namespace sondrel {

namespace {

// Large enough that a report of 100,000 lines costs a few hundred write calls.
constexpr std::size_t kFlushThreshold = 64 * 1024;

// Readable by others as a file made by fopen under the usual umask would be.
constexpr mode_t kReportMode = 0644;

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size != 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

// ".<name>.<six letters>" beside the report: hidden, and never a name the
// report itself could have. isDailyReportTemporaryName knows this pattern.
std::string temporaryNameFor(const std::string& path) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::array<unsigned char, 6> random{};
    if (::getrandom(random.data(), random.size(), 0) != ssize_t(random.size())) {
        const auto seed = std::uint64_t(::getpid()) ^ std::uint64_t(reinterpret_cast<std::uintptr_t>(&random));
        for (std::size_t i = 0; i < random.size(); ++i) random[i] = static_cast<unsigned char>(seed >> (8 * i));
    }
    const std::size_t slash = path.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::string name = path.substr(0, nameStart) + "." + path.substr(nameStart) + ".";
    for (const unsigned char r : random) name.push_back(kLetters[r % (sizeof kLetters - 1)]);
    return name;
}

}  // namespace

ReportWriter::~ReportWriter() { close(); }

bool ReportWriter::open(const std::string& path) {
    close();
    m_error = 0;
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, kReportMode);
    if (m_fd < 0) m_error = errno;
    return m_fd >= 0;
}

bool ReportWriter::openReplacing(const std::string& path) {
    close();
    m_error = 0;
    // A name taken by someone else (or by a planted link) is simply not ours: try another.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string temporary = temporaryNameFor(path);
        m_fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, kReportMode);
        if (m_fd >= 0) {
            m_temporaryPath = temporary;
            m_finalPath = path;
            return true;
        }
        if (errno != EEXIST) break;
    }
    m_error = errno;
    return false;
}

void ReportWriter::fail(int error) {
    if (m_error == 0) m_error = error != 0 ? error : EIO;
}

void ReportWriter::write(std::u16string_view text) {
    if (m_fd < 0 || m_error != 0) return;
    const std::size_t start = m_buffer.size();
    appendCp1251(m_buffer, text);
    // Only U+000A encodes to 0x0A, so line feeds can be widened after encoding.
    const std::size_t feeds = std::size_t(std::count(m_buffer.begin() + std::ptrdiff_t(start), m_buffer.end(), '\n'));
    if (feeds != 0) {
        const std::string encoded = m_buffer.substr(start);
        m_buffer.resize(start);
        m_buffer.reserve(start + encoded.size() + feeds);
        for (const char c : encoded) {
            if (c == '\n') m_buffer.push_back('\r');
            m_buffer.push_back(c);
        }
    }
    if (m_buffer.size() >= kFlushThreshold) flush();
}

void ReportWriter::flush() {
    if (m_fd < 0 || m_error != 0 || m_buffer.empty()) return;
    if (!writeAll(m_fd, m_buffer.data(), m_buffer.size())) fail(errno);
    m_buffer.clear();
}

bool ReportWriter::close() {
    if (m_fd < 0) return false;
    flush();
    // Some file systems (NFS, a full disk under delayed allocation) only say so here.
    if (m_error == 0 && ::fsync(m_fd) != 0 && errno != EINVAL) fail(errno);
    if (::close(m_fd) != 0 && m_error == 0 && errno != EINTR) fail(errno);
    m_fd = -1;
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    if (!m_temporaryPath.empty()) {
        if (m_error == 0 && ::rename(m_temporaryPath.c_str(), m_finalPath.c_str()) != 0) fail(errno);
        if (m_error != 0) ::unlink(m_temporaryPath.c_str());
        m_temporaryPath.clear();
        m_finalPath.clear();
    }
    return m_error == 0;
}

}  // namespace sondrel
