#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace sondrel {

// The output file of every report: code page 1251, one byte per character,
// CR LF for each line feed, no byte-order mark. Write failures are swallowed:
// a report that cannot be finished (a full disk) simply ends early, and a
// character without a 1251 form becomes "?" so the rest still gets written.
class ReportWriter {
public:
    ReportWriter() = default;
    ~ReportWriter();
    ReportWriter(const ReportWriter&) = delete;
    ReportWriter& operator=(const ReportWriter&) = delete;

    // Truncates or creates the file; false when it cannot be opened for writing.
    bool open(const std::string& path);
    bool isOpen() const { return m_file != nullptr; }
    void write(std::u16string_view text);
    // Writes what is still buffered and closes; errors go unreported.
    void close();

private:
    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };

    void flush();

    std::unique_ptr<std::FILE, FileCloser> m_file;
    std::string m_buffer;
    bool m_failed = false;
};

}  // namespace sondrel
