#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/in_process_sources.h"
#include "app/monitor.h"
#include "tests/support/stepped_clock.h"
#include "config/settings.h"

namespace sondrel {
namespace {

namespace fs = std::filesystem;

// Enough endpoints that the day's report is several times the small tmpfs.
constexpr int kEndpoints = 1500;
const char* const kLocal = "10.0.0.1";

using testing::SteppedClock;

class CountingNotifier final : public Notifier {
public:
    void showMessage(const std::u16string&, const std::u16string&, MessageIcon) override { ++shown; }
    void showCaptureLibraryMissing() override { ++shown; }
    std::atomic<int> shown{0};
};

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Mounts need a mount namespace of this process's own, so nothing made here is
// seen outside it and everything vanishes with the process. Entered once, by
// the thread that runs the tests (and so writes the daily reports).
std::optional<std::string> privateMountNamespace() {
    static const std::optional<std::string> missing = []() -> std::optional<std::string> {
        if (::geteuid() != 0) return "mounting a tmpfs needs root";
        if (::unshare(CLONE_NEWNS) != 0) return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("making / private: ") + std::strerror(errno);
        }
        return std::nullopt;
    }();
    return missing;
}

struct Folder {
    fs::path dir;                     // the test's own scratch folder
    std::vector<fs::path> mounts{};   // unmounted before the scratch folder goes
    std::optional<std::string> skip{};

    fs::path mountTmpfs(const char* name, unsigned long flags, const char* options) {
        const fs::path point = dir / name;
        fs::create_directories(point);
        if ((skip = privateMountNamespace())) return point;
        if (::mount("sondrel-faults", point.c_str(), "tmpfs", flags, options) != 0) {
            skip = std::string("mount tmpfs: ") + std::strerror(errno);
            return point;
        }
        mounts.push_back(point);
        return point;
    }
};

enum class Outcome { NoFile, PrefixOfTheFullReport };

struct FolderRow {
    const char* name;
    std::function<fs::path(Folder&)> prepare;  // the report folder
    Outcome outcome;
    // True when the fault left everything as it was, checked after the tick.
    std::function<bool(const fs::path& folder)> untouched;
};

void PrintTo(const FolderRow& row, std::ostream* out) { *out << row.name; }

bool emptyFolder(const fs::path& folder) { return fs::is_empty(folder); }

const FolderRow kRows[] = {
    {"missing_folder", [](Folder& f) { return f.dir / "not-there"; }, Outcome::NoFile,
     [](const fs::path& folder) { return !fs::exists(folder); }},
    {"dangling_symlink",
     [](Folder& f) {
         fs::create_symlink(f.dir / "gone", f.dir / "link");
         return f.dir / "link";
     },
     Outcome::NoFile,
     [](const fs::path& folder) { return fs::is_symlink(folder) && !fs::exists(folder.parent_path() / "gone"); }},
    {"read_only_folder",
     [](Folder& f) {
         // Root writes through permission bits, so as root the folder is a read-only mount.
         if (::geteuid() == 0) return f.mountTmpfs("read-only", MS_RDONLY, "size=64k,mode=0755");
         fs::create_directories(f.dir / "read-only");
         fs::permissions(f.dir / "read-only", fs::perms::owner_read | fs::perms::owner_exec);
         return f.dir / "read-only";
     },
     Outcome::NoFile, emptyFolder},
    {"disk_full_while_writing", [](Folder& f) { return f.mountTmpfs("tiny", 0, "size=16k,mode=0755"); },
     Outcome::PrefixOfTheFullReport, nullptr},
};

class ReportFolderFault : public ::testing::TestWithParam<FolderRow> {
protected:
    Folder folder{fs::temp_directory_path() / ("sondrel-faults-" + std::to_string(::getpid()))};
    std::shared_ptr<SteppedClock> clock = std::make_shared<SteppedClock>();
    std::shared_ptr<CountingNotifier> notifier = std::make_shared<CountingNotifier>();

    void SetUp() override {
        fs::remove_all(folder.dir);
        fs::create_directories(folder.dir);
    }
    void TearDown() override {
        for (const fs::path& point : folder.mounts) ::umount2(point.c_str(), MNT_DETACH);
        std::error_code ignored;
        fs::permissions(folder.dir / "read-only", fs::perms::owner_all, ignored);
        fs::remove_all(folder.dir, ignored);
    }

    std::unique_ptr<Monitor> monitorWithReportsIn(const fs::path& reportFolder) {
        MonitorServices services;
        services.notifier = notifier;
        services.clock = clock;
        services.reverseLookup = [](const IpAddress&) { return std::optional<std::string>(); };
        services.settingsFolder = (folder.dir / "settings").string();
        const std::string text = reportFolder.string();
        services.settingsDefaults =
            std::make_shared<SettingsDefaults>(SettingsDefaults{std::u16string(text.begin(), text.end()), inet_addr(kLocal)});
        services.makeSources = inProcessSources((folder.dir / "no-proc").string(),
                                                [] { return CaptureLibraryLoad(CaptureLibraryFailure{}); });
        auto monitor = std::make_unique<Monitor>(services);
        monitor->loadSettings();
        return monitor;
    }
};

// The midnight report into a folder that cannot take it: no message, no crash,
// the statistics are reset all the same, and the next packets are counted as
// on any other day.
TEST_P(ReportFolderFault, ResetsAndGoesOn) {
    const FolderRow& row = GetParam();
    const fs::path reportFolder = row.prepare(folder);
    if (folder.skip) GTEST_SKIP() << *folder.skip;
    const auto monitor = monitorWithReportsIn(reportFolder);

    for (std::uint32_t n = 0; n < kEndpoints; ++n) {
        monitor->capture().queue.push({inet_addr(kLocal), htonl((198u << 24) | (51u << 16) | n), 1000 + n, 80,
                                       std::uint16_t(20000 + n % 7), 6});
    }
    monitor->tick();
    const fs::path fullReport = folder.dir / "full.csv";
    ASSERT_TRUE(monitor->exportCsv(fullReport.string()));

    clock->set(LocalTime{2027, 2, 1, 0, 0, 0});
    monitor->tick();
    EXPECT_TRUE(monitor->dailyDone());
    EXPECT_EQ(monitor->lists().applications().rowCount(), 0u);
    EXPECT_EQ(monitor->lists().details().rowCount(), 0u);
    {
        const std::scoped_lock guard(monitor->records()->RecordsLock);
        EXPECT_TRUE(monitor->records()->table.empty());
    }
    EXPECT_TRUE(monitor->capture().queue.records().empty());
    EXPECT_EQ(notifier->shown.load(), 0);

    const fs::path written = reportFolder / "2027_01_02.csv";
    if (row.outcome == Outcome::NoFile) {
        EXPECT_TRUE(row.untouched(reportFolder));
    } else {
        const std::string full = readBytes(fullReport);
        const std::string kept = readBytes(written);
        EXPECT_FALSE(kept.empty()) << "what fitted was written";
        EXPECT_LT(kept.size(), full.size()) << "the tmpfs was meant to fill up";
        EXPECT_EQ(kept, full.substr(0, kept.size())) << "the report ends early, it does not go wrong";
    }

    monitor->capture().queue.push({inet_addr(kLocal), inet_addr("192.0.2.7"), 500, 443, 30000, 6});
    clock->set(LocalTime{2027, 2, 1, 0, 0, 30});
    monitor->tick();
    EXPECT_EQ(monitor->lists().applications().rowCount(), 1u);
    EXPECT_EQ(monitor->lists().applications().text(0, 1), u"500 B");
    EXPECT_EQ(notifier->shown.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, ReportFolderFault, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sondrel
