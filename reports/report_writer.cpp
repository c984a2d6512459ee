#include "reports/report_writer.h"

#include <algorithm>

#include "config/cp1251.h"

namespace sondrel {

namespace {

// Large enough that a report of 100,000 lines costs a few hundred write calls.
constexpr std::size_t kFlushThreshold = 64 * 1024;

}  // namespace

ReportWriter::~ReportWriter() { close(); }

bool ReportWriter::open(const std::string& path) {
    close();
    m_file.reset(std::fopen(path.c_str(), "wb"));
    m_failed = false;
    m_buffer.clear();
    return m_file != nullptr;
}

void ReportWriter::write(std::u16string_view text) {
    if (!m_file || m_failed) return;
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
    if (!m_file || m_failed || m_buffer.empty()) return;
    if (std::fwrite(m_buffer.data(), 1, m_buffer.size(), m_file.get()) != m_buffer.size()) m_failed = true;
    m_buffer.clear();
}

void ReportWriter::close() {
    if (!m_file) return;
    flush();
    m_file.reset();
    m_buffer.clear();
    m_buffer.shrink_to_fit();
}

}  // namespace sondrel
