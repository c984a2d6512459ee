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

#include "tests/support/in_process_sources.h"
#include "engine/monitor.h"
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

struct FolderRow {
    const char* name;
    std::function<fs::path(Folder&)> prepare;  // the report folder
    std::function<void(Folder&, const fs::path& folder)> mend;  // what the user does about it
};

void PrintTo(const FolderRow& row, std::ostream* out) { *out << row.name; }

// Room enough for the whole report.
void remount(const fs::path& point) {
    ASSERT_EQ(::mount("sondrel-faults", point.c_str(), "tmpfs", MS_REMOUNT, "size=4m,mode=0755"), 0)
        << std::strerror(errno);
}

const FolderRow kRows[] = {
    {"missing_folder", [](Folder& f) { return f.dir / "not-there"; },
     [](Folder&, const fs::path& folder) { fs::create_directories(folder); }},
    {"dangling_symlink",
     [](Folder& f) {
         fs::create_symlink(f.dir / "gone", f.dir / "link");
         return f.dir / "link";
     },
     [](Folder& f, const fs::path&) { fs::create_directories(f.dir / "gone"); }},
    {"read_only_folder",
     [](Folder& f) {
         // Root writes through permission bits, so as root the folder is a read-only mount.
         if (::geteuid() == 0) return f.mountTmpfs("read-only", MS_RDONLY, "size=64k,mode=0755");
         fs::create_directories(f.dir / "read-only");
         fs::permissions(f.dir / "read-only", fs::perms::owner_read | fs::perms::owner_exec);
         return f.dir / "read-only";
     },
     [](Folder&, const fs::path& folder) {
         if (::geteuid() == 0) return remount(folder);
         fs::permissions(folder, fs::perms::owner_all);
     }},
    {"disk_full_while_writing", [](Folder& f) { return f.mountTmpfs("tiny", 0, "size=16k,mode=0755"); },
     [](Folder&, const fs::path& folder) { remount(folder); }},
};

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) names.push_back(entry.path().filename().string());
    return names;
}

class ReportFolderTest : public ::testing::Test {
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

    static std::size_t endpointCount(Monitor& monitor) {
        const std::scoped_lock guard(monitor.records()->RecordsLock);
        std::size_t count = 0;
        for (const AppRecord& app : monitor.records()->table.records()) count += app.endpoints.size();
        return count;
    }
};

class ReportFolderFault : public ReportFolderTest, public ::testing::WithParamInterface<FolderRow> {};

// The midnight report into a folder that cannot take it: nothing is reset and
// nothing is lost, the user is told once, and the report is tried again at the
// next minutes until the folder takes it, under the name of the day that began.
TEST_P(ReportFolderFault, KeepsCountingAndRetriesUntilTheReportIsWhole) {
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

    const auto tickAt = [&](int minute, int second) {
        clock->set(LocalTime{2027, 2, 1, 0, minute, second});
        monitor->tick();
    };
    tickAt(0, 0);
    EXPECT_TRUE(monitor->dailyDone());
    EXPECT_TRUE(monitor->dailyReportPending());
    EXPECT_EQ(endpointCount(*monitor), std::size_t(kEndpoints));
    EXPECT_EQ(notifier->shown.load(), 1);
    EXPECT_TRUE(namesIn(reportFolder).empty()) << "neither a cut report nor a temporary file stays";

    tickAt(0, 30);
    EXPECT_EQ(notifier->shown.load(), 1);

    row.mend(folder, reportFolder);
    tickAt(1, 0);
    EXPECT_FALSE(monitor->dailyReportPending());
    EXPECT_EQ(namesIn(reportFolder), std::vector<std::string>{"2027_01_02.csv"});
    EXPECT_EQ(readBytes(reportFolder / "2027_01_02.csv"), readBytes(fullReport));
    EXPECT_EQ(endpointCount(*monitor), 0u);
    EXPECT_EQ(monitor->lists().applications().rowCount(), 0u);

    monitor->capture().queue.push({inet_addr(kLocal), inet_addr("192.0.2.7"), 500, 443, 30000, 6});
    tickAt(1, 30);
    EXPECT_EQ(monitor->lists().applications().rowCount(), 1u);
    EXPECT_EQ(monitor->lists().applications().text(0, 1), u"500 B");
    EXPECT_EQ(notifier->shown.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, ReportFolderFault, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Another user planted the day's name in a shared report folder as a link to a
// file of root's: the link is replaced by the report, its target keeps its bytes.
TEST_F(ReportFolderTest, PlantedLinkAtTheReportNameIsReplacedNotFollowed) {
    const fs::path shared = folder.dir / "shared";
    fs::create_directories(shared);
    std::ofstream(folder.dir / "victim", std::ios::binary) << "root:x:0:0:root:/root:/bin/bash\n";
    fs::create_symlink(folder.dir / "victim", shared / "2027_01_02.csv");
    const auto monitor = monitorWithReportsIn(shared);
    monitor->capture().queue.push({inet_addr(kLocal), inet_addr("192.0.2.7"), 500, 443, 30000, 6});
    monitor->tick();
    clock->set(LocalTime{2027, 2, 1, 0, 0, 0});
    monitor->tick();

    EXPECT_EQ(readBytes(folder.dir / "victim"), "root:x:0:0:root:/root:/bin/bash\n");
    EXPECT_FALSE(fs::is_symlink(shared / "2027_01_02.csv"));
    EXPECT_EQ(readBytes(shared / "2027_01_02.csv"),
              "Application,UL bytes,DL bytes,Local port,Remote Port,Remote IP,Remote hostname\r\n"
              "TCP protocol,500,0,TCP:30000,TCP:443,192.0.2.7,,\r\n");
    EXPECT_EQ(monitor->lists().applications().rowCount(), 0u);
    EXPECT_EQ(notifier->shown.load(), 0);
}

}  // namespace
}  // namespace sondrel
