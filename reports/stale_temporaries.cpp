#include "reports/stale_temporaries.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <memory>

namespace sondrel {

namespace {

// A writer that is still at work touches its file far more often than this.
constexpr std::time_t kQuietSeconds = 60;

constexpr std::size_t kSuffixLetters = 6;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isLetterOrDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool allDigits(std::string_view text) {
    for (const char c : text)
        if (!isDigit(c)) return false;
    return !text.empty();
}

// "%d_%02d_%02d.csv" of a year that is written with 1 to 10 digits.
bool isDailyReportName(std::string_view name) {
    static constexpr std::string_view kMonthDayCsv = "_dd_dd.csv";
    if (name.size() <= kMonthDayCsv.size() || name.size() > kMonthDayCsv.size() + 10) return false;
    const std::string_view year = name.substr(0, name.size() - kMonthDayCsv.size());
    const std::string_view rest = name.substr(year.size());
    return allDigits(year) && rest[0] == '_' && allDigits(rest.substr(1, 2)) && rest[3] == '_' &&
           allDigits(rest.substr(4, 2)) && rest.substr(6) == ".csv";
}

struct DirectoryCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

bool isDailyReportTemporaryName(std::string_view name) {
    if (name.size() < 2 + kSuffixLetters || name.front() != '.') return false;
    const std::string_view suffix = name.substr(name.size() - kSuffixLetters);
    for (const char c : suffix)
        if (!isLetterOrDigit(c)) return false;
    if (name[name.size() - kSuffixLetters - 1] != '.') return false;
    return isDailyReportName(name.substr(1, name.size() - kSuffixLetters - 2));
}

std::size_t removeStaleReportTemporaries(const std::string& folder) {
    if (folder.empty()) return 0;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    const std::unique_ptr<DIR, DirectoryCloser> dir(::fdopendir(fd));
    if (!dir) {
        ::close(fd);
        return 0;
    }
    // The file system dates the files by the real clock, so the cut-off is read from it too.
    const std::time_t cutOff = std::time(nullptr) - kQuietSeconds;
    const uid_t self = ::geteuid();
    std::size_t removed = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (!isDailyReportTemporaryName(entry->d_name)) continue;
        struct stat status{};
        if (::fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(status.st_mode) || status.st_uid != self || status.st_mtim.tv_sec > cutOff) continue;
        // Should the name be swapped for a link meanwhile, unlinkat takes the link, not its target.
        if (::unlinkat(fd, entry->d_name, 0) == 0) ++removed;
    }
    return removed;
}

}  // namespace sondrel
