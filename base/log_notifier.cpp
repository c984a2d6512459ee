#include "base/log_notifier.h"

#include <cstdio>

#include "base/text.h"

namespace sondrel {

namespace {

void appendTwoDigits(std::string& out, int value) {
    out += char('0' + (value / 10) % 10);
    out += char('0' + value % 10);
}

}  // namespace

std::string logLine(const std::optional<LocalTime>& time, std::string_view text) {
    std::string line;
    line.reserve(30 + text.size());
    if (time) {
        const int year = time->year < 0 ? 0 : time->year % 10000;
        line += char('0' + year / 1000);
        line += char('0' + (year / 100) % 10);
        appendTwoDigits(line, year % 100);
        line += '-';
        appendTwoDigits(line, time->month);
        line += '-';
        appendTwoDigits(line, time->day);
        line += ' ';
        appendTwoDigits(line, time->hour);
        line += ':';
        appendTwoDigits(line, time->minute);
        line += ':';
        appendTwoDigits(line, time->second);
    } else {
        line += "(time unknown)";
    }
    line += " sondrel: ";
    for (const char c : text) line += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? ' ' : c;
    line += '\n';
    return line;
}

LogNotifier::LogNotifier(std::shared_ptr<const Clock> clock, LineSink sink)
    : m_clock(std::move(clock)) {
    m_sink = sink ? std::move(sink) : [](const std::string& line) {
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
    };
}

void LogNotifier::showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon) {
    log(u16ToUtf8(caption) + ": " + u16ToUtf8(text));
}

void LogNotifier::showCaptureLibraryMissing() {
    // The window's dialog, title and text, without its download link.
    showMessage(u"PCAP library is missing",
                u"PCAP library is not installed. Please, install the libpcap package with your package manager.",
                MessageIcon::Error);
}

void LogNotifier::log(std::string_view text) {
    const std::string line = logLine(m_clock->now(), text);
    const std::scoped_lock guard(m_lock);
    m_sink(line);
}

}  // namespace sondrel
