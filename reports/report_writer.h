#pragma once

#include <string>
#include <string_view>

namespace sondrel {

// The output file of every report: code page 1251, one byte per character,
// CR LF for each line feed, no byte-order mark. A character without a 1251
// form becomes "?" so the rest still gets written. Every write, the flush to
// disk and the close are checked: close() says whether the whole report
// reached the file, so a full disk is never taken for a finished report.
class ReportWriter {
public:
    ReportWriter() = default;
    // Closes as close() does; the outcome is lost, so callers that care close first.
    ~ReportWriter();
    ReportWriter(const ReportWriter&) = delete;
    ReportWriter& operator=(const ReportWriter&) = delete;

    // Truncates or creates the file at `path` and writes into it; false when it
    // cannot be opened for writing.
    bool open(const std::string& path);
    // Writes into a new temporary file in the folder of `path`; close() renames
    // it onto `path` once everything is on disk, so the file at `path` is either
    // the old one or the complete report, and a symlink planted there is
    // replaced, never followed. False when the temporary file cannot be created.
    bool openReplacing(const std::string& path);

    bool isOpen() const { return m_fd >= 0; }
    void write(std::u16string_view text);
    // Writes what is still buffered, syncs and closes (and, after
    // openReplacing, renames). True only when every byte reached the file; on
    // failure a replacing writer removes its temporary file.
    bool close();
    // errno of the first failure; 0 while there is none.
    int error() const { return m_error; }

private:
    void flush();
    void fail(int error);

    int m_fd = -1;
    std::string m_buffer;
    int m_error = 0;
    std::string m_temporaryPath;  // set while a replacing writer is open
    std::string m_finalPath;
};

}  // namespace sondrel
