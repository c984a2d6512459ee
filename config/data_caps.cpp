#include "config/data_caps.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/file_descriptor.h"
#include "base/text.h"

namespace sondrel {

namespace {

std::string capsPath(const std::string& folder) { return folder + "/data-caps"; }

// Decimal digits only, no sign, no overflow, not zero.
std::optional<std::uint64_t> parseLimit(std::string_view text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = std::uint64_t(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    if (value == 0) return std::nullopt;
    return value;
}

// "day 1000000000 /usr/bin/firefox": the name is the rest of the line after one space, kept as written.
std::optional<DataCap> parseLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t first = line.find(' ');
    if (first == std::string_view::npos) return std::nullopt;
    DataCap cap;
    const std::string_view period = line.substr(0, first);
    if (period == "day") cap.period = DataCap::Period::Day;
    else if (period == "month") cap.period = DataCap::Period::Month;
    else return std::nullopt;
    const std::string_view rest = line.substr(first + 1);
    const std::size_t second = rest.find(' ');
    const auto limit = parseLimit(rest.substr(0, second));
    if (!limit) return std::nullopt;
    cap.limitBytes = *limit;
    if (second != std::string_view::npos) {
        const std::string_view name = rest.substr(second + 1);
        // A carriage return within the name could not be written back as one line.
        if (name.find('\r') != std::string_view::npos) return std::nullopt;
        cap.application = utf8ToU16(name);
        // A name that is not UTF-8 would not match any application, nor write back as it was read.
        if (u16ToUtf8(cap.application) != name) return std::nullopt;
    }
    return cap;
}

}  // namespace

std::vector<DataCap> decodeDataCaps(std::string_view text) {
    std::vector<DataCap> caps;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (auto cap = parseLine(text.substr(0, end))) caps.push_back(std::move(*cap));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return caps;
}

std::optional<std::string> encodeDataCaps(const std::vector<DataCap>& caps) {
    std::string text;
    for (const DataCap& cap : caps) {
        if (cap.limitBytes == 0 || cap.application.find_first_of(u"\r\n") != std::u16string::npos) return std::nullopt;
        text += cap.period == DataCap::Period::Day ? "day " : "month ";
        text += std::to_string(cap.limitBytes);
        if (!cap.application.empty()) text += ' ' + u16ToUtf8(cap.application);
        text += '\n';
    }
    return text;
}

std::vector<DataCap> loadDataCaps(const std::string& settingsFolder) {
    // Non-blocking, so that a FIFO in its place fails instead of hanging.
    FileDescriptor fd(::open(capsPath(settingsFolder).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) return {};
    std::string text;
    char buffer[4096];
    // A caps file is a few lines; a huge one is not ours to read whole.
    constexpr std::size_t kMaxBytes = 1 << 20;
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, std::size_t(n));
        if (text.size() > kMaxBytes) break;
    }
    return decodeDataCaps(text);
}

bool saveDataCaps(const std::string& settingsFolder, const std::vector<DataCap>& caps) {
    const std::optional<std::string> text = encodeDataCaps(caps);
    if (!text) return false;
    std::string temporary = capsPath(settingsFolder) + ".XXXXXX";
    FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid()) return false;
    std::size_t written = 0;
    bool ok = true;
    while (ok && written < text->size()) {
        const ssize_t n = ::write(fd.get(), text->data() + written, text->size() - written);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) written += std::size_t(n);
    }
    // A full disk or a network file system may only say so when the data goes out.
    ok = ok && (::fsync(fd.get()) == 0 || errno == EINVAL);
    ok = ::close(fd.release()) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), capsPath(settingsFolder).c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

}  // namespace sondrel
