#include "config/settings.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <vector>

#include "base/notifier.h"
#include "base/text.h"
#include "config/cp1251.h"
#include "config/default_address.h"

namespace sondrel {

namespace {

constexpr char16_t kGroupSeparator = u'\u00A0';
constexpr char kGroupSeparatorByte = '\xA0';

bool isWhiteSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f';
}

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Digits grouped by three from the right, as the file's locale writes numbers.
void appendGrouped(std::string& out, std::uint64_t magnitude) {
    std::array<char, 20> digits{};
    std::size_t n = 0;
    do {
        digits[n++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    for (std::size_t i = n; i > 0; --i) {
        out.push_back(digits[i - 1]);
        if (i > 1 && (i - 1) % 3 == 0) out.push_back(kGroupSeparatorByte);
    }
}

// The file holds the address as the number whose bytes, least significant
// first, are the address bytes in network order.
std::uint32_t fileNumberFromAddress(std::uint32_t address) {
    std::array<unsigned char, 4> bytes{};
    std::memcpy(bytes.data(), &address, bytes.size());
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

std::uint32_t addressFromFileNumber(std::uint32_t number) {
    const std::array<unsigned char, 4> bytes = {static_cast<unsigned char>(number), static_cast<unsigned char>(number >> 8),
                                                static_cast<unsigned char>(number >> 16),
                                                static_cast<unsigned char>(number >> 24)};
    std::uint32_t address = 0;
    std::memcpy(&address, bytes.data(), bytes.size());
    return address;
}

// Reads the decoded file text the way a formatted input stream would: a
// failed read or an end of file stops every later read.
class SettingsReader {
public:
    explicit SettingsReader(std::u16string_view text) : m_text(text) {}

    bool good() const { return !m_failed && !m_atEnd; }

    std::optional<std::int32_t> readSigned() {
        bool negative = false;
        const std::optional<std::uint64_t> magnitude = readNumber(negative, true);
        if (!magnitude) return std::nullopt;
        const std::uint64_t limit = negative ? std::uint64_t(std::numeric_limits<std::int32_t>::max()) + 1
                                             : std::uint64_t(std::numeric_limits<std::int32_t>::max());
        if (*magnitude > limit) return fail();
        return negative ? std::int32_t(-std::int64_t(*magnitude)) : std::int32_t(*magnitude);
    }

    std::optional<std::uint32_t> readUnsigned() {
        bool negative = false;
        const std::optional<std::uint64_t> magnitude = readNumber(negative, false);
        if (!magnitude) return std::nullopt;
        if (*magnitude > std::numeric_limits<std::uint32_t>::max()) return fail();
        return std::uint32_t(*magnitude);
    }

    // The next run of non-white-space characters, cut at a NUL inside it.
    std::optional<std::u16string_view> readToken() {
        if (!skipWhiteSpace()) return std::nullopt;
        const std::size_t start = m_pos;
        while (m_pos < m_text.size() && !isWhiteSpace(m_text[m_pos])) ++m_pos;
        if (m_pos == m_text.size()) m_atEnd = true;
        std::u16string_view token = m_text.substr(start, m_pos - start);
        return token.substr(0, token.find(u'\0'));
    }

private:
    std::nullopt_t fail() {
        m_failed = true;
        return std::nullopt;
    }

    bool skipWhiteSpace() {
        while (m_pos < m_text.size() && isWhiteSpace(m_text[m_pos])) ++m_pos;
        if (m_pos < m_text.size()) return true;
        m_atEnd = true;
        m_failed = true;
        return false;
    }

    // Sign and digits, a single group separator allowed between two digits.
    // Keeps counting digits past any limit so an over-long number is one
    // failure rather than a wrapped value.
    std::optional<std::uint64_t> readNumber(bool& negative, bool signAllowed) {
        if (!skipWhiteSpace()) return std::nullopt;
        if (m_text[m_pos] == u'+' || m_text[m_pos] == u'-') {
            negative = m_text[m_pos] == u'-';
            if (negative && !signAllowed) return fail();
            ++m_pos;
        }
        constexpr std::uint64_t kSaturated = std::uint64_t(1) << 40;
        std::uint64_t value = 0;
        bool anyDigit = false;
        while (m_pos < m_text.size()) {
            const char16_t c = m_text[m_pos];
            if (isDigit(c)) {
                value = std::min(kSaturated, value * 10 + (c - u'0'));
                anyDigit = true;
                ++m_pos;
            } else if (c == kGroupSeparator && anyDigit) {
                if (m_pos + 1 >= m_text.size() || !isDigit(m_text[m_pos + 1])) {
                    ++m_pos;
                    return fail();
                }
                ++m_pos;
            } else {
                break;
            }
        }
        if (m_pos == m_text.size()) m_atEnd = true;
        if (!anyDigit) return fail();
        return value;
    }

    std::u16string_view m_text;
    std::size_t m_pos = 0;
    bool m_failed = false;
    bool m_atEnd = false;
};

class UniqueFd {
public:
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { close(); }
    int close() {
        const int result = m_fd >= 0 ? ::close(m_fd) : 0;
        m_fd = -1;
        return result;
    }
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

private:
    int m_fd;
};

// The file's bytes, or nothing when it is missing, not a regular file (a
// directory or a FIFO, which would block) or cannot be read.
}  // namespace

std::optional<std::string> readSettingsFileBytes(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) return std::nullopt;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    std::string bytes;
    std::array<char, 8192> buffer{};
    while (bytes.size() < kSettingsFileReadLimit) {
        const std::size_t want = std::min(buffer.size(), kSettingsFileReadLimit - bytes.size());
        const ssize_t got = ::read(fd.get(), buffer.data(), want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        bytes.append(buffer.data(), std::size_t(got));
    }
    return bytes;
}

void SwapSpaceHash(std::u16string& text) {
    for (char16_t& c : text) {
        if (c == u' ') {
            c = u'#';
        } else if (c == u'#') {
            c = u' ';
        }
    }
}

std::string encodeSettingsFile(const Settings& settings) {
    const std::u16string_view whole = settings.reportFolder;
    std::u16string folder = truncateUnits(std::u16string(whole.substr(0, whole.find(u'\0'))), kReportFolderCapacity);
    SwapSpaceHash(folder);

    std::string out;
    out.reserve(folder.size() + 32);
    if (settings.dailyReports < 0) out.push_back('-');
    appendGrouped(out, settings.dailyReports < 0 ? std::uint64_t(0) - std::uint64_t(std::int64_t(settings.dailyReports))
                                                 : std::uint64_t(settings.dailyReports));
    out.push_back(' ');
    appendCp1251(out, folder);
    out.push_back(' ');
    appendGrouped(out, fileNumberFromAddress(settings.localAddress));
    return lfToCrLf(out);
}

bool decodeSettingsFile(std::string_view bytes, Settings& inOut) {
    const std::u16string text = decodeCp1251(bytes);
    SettingsReader reader(text);

    if (const std::optional<std::int32_t> flag = reader.readSigned()) inOut.dailyReports = *flag;

    inOut.reportFolder.clear();
    if (reader.good()) {
        if (const std::optional<std::u16string_view> token = reader.readToken()) {
            inOut.reportFolder = truncateUnits(std::u16string(*token), kReportFolderCapacity);
        }
    }

    bool addressRead = false;
    if (reader.good()) {
        if (const std::optional<std::uint32_t> number = reader.readUnsigned()) {
            inOut.localAddress = addressFromFileNumber(*number);
            addressRead = true;
        }
    }

    SwapSpaceHash(inOut.reportFolder);
    return addressRead;
}

Environment processEnvironment() {
    Environment env;
    env.variable = [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (value == nullptr) return std::nullopt;
        return std::string(value);
    };
    env.passwordHome = []() -> std::optional<std::string> {
        long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
        std::vector<char> buffer(size > 0 ? std::size_t(size) : 16384);
        struct passwd entry {};
        struct passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
            found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
            return std::nullopt;
        }
        return std::string(found->pw_dir);
    };
    return env;
}

std::string HomeDirectory(const Environment& env) {
    if (const std::optional<std::string> home = env.variable("HOME"); home && !home->empty()) return *home;
    if (const std::optional<std::string> home = env.passwordHome(); home && !home->empty()) return *home;
    return "/";
}

std::string SettingsFolder(const Environment& env) {
    if (const std::optional<std::string> config = env.variable("XDG_CONFIG_HOME"); config && !config->empty() &&
                                                                                    config->front() == '/') {
        return *config + "/Sondrelix";
    }
    std::string home = HomeDirectory(env);
    if (home.back() != '/') home.push_back('/');
    return home + ".config/Sondrelix";
}

std::string SettingsFolder() { return SettingsFolder(processEnvironment()); }

std::string SettingsFilePath(const std::string& folder) { return folder + "/" + kSettingsFileName; }

std::u16string defaultReportFolder() {
    return truncateUnits(utf8ToU16(HomeDirectory(processEnvironment())), kReportFolderCapacity);
}

SettingsDefaults liveSettingsDefaults() {
    SettingsDefaults defaults;
    defaults.reportFolder = defaultReportFolder();
    defaults.localAddress = DefaultLocalAddress();
    return defaults;
}

bool LoadSettings(Settings& settings, const std::string& folder, const SettingsDefaults& defaults) {
    settings.localAddress = defaults.localAddress;
    settings.dailyReports = 1;
    settings.reportFolder = defaults.reportFolder;

    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);

    if (const std::optional<std::string> bytes = readSettingsFileBytes(SettingsFilePath(folder))) {
        return decodeSettingsFile(*bytes, settings) && settings.localAddress != 0;
    }
    return false;
}

void LoadSettings(Settings& settings) { LoadSettings(settings, SettingsFolder(), liveSettingsDefaults()); }

bool SaveSettings(const Settings& settings, const std::string& folder) {
    // Non-blocking so that a FIFO without a reader fails the open instead of hanging the UI.
    UniqueFd fd(
        ::open(SettingsFilePath(folder).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666));
    if (!fd.valid()) return false;
    const std::string bytes = encodeSettingsFile(settings);
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += std::size_t(n);
    }
    // A full disk or a network file system may only say so when the data goes out.
    if (::fsync(fd.get()) != 0 && errno != EINVAL) return false;
    return fd.close() == 0 || errno == EINTR;
}

bool SaveSettings(const Settings& settings, const std::string& folder, Notifier& notifier) {
    if (SaveSettings(settings, folder)) return true;
    notifier.showMessage(kSaveSettingsFailedCaption, kSaveSettingsFailedText, MessageIcon::Error);
    return false;
}

}  // namespace sondrel
