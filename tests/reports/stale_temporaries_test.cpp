#include "reports/stale_temporaries.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "report_fixture.h"

namespace sondrel {
namespace {

using testing::TempDir;

// Dated two minutes back: past the minute a running writer is given.
void makeOld(const std::string& path) {
    timespec times[2]{};
    ::clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= 120;
    times[1] = times[0];
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

void makeFile(const std::string& path, bool old) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ::close(fd);
    if (old) makeOld(path);
}

std::set<std::string> namesIn(const std::filesystem::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

TEST(StaleReportTemporaries, OnlyOldRegularFilesOfOursGo) {
    const TempDir dir;
    const TempDir outside;
    std::set<std::string> kept;
    for (const char* ours : {".2027_01_02.csv.Ab3dE9", ".12345_31_12.csv.zzzzzz"}) makeFile(dir.file(ours), true);
    makeFile(dir.file(".2027_01_03.csv.fresh1"), false);
    kept.insert(".2027_01_03.csv.fresh1");
    for (const char* lookalike : {".2027_01_02.csv.Ab3dE", "2027_01_02.csv.Ab3dE9", ".2027_01_02.csv.Ab3-E9",
                                  ".2027_1_02.csv.Ab3dE9", ".2027_01_02.txt.Ab3dE9", ".notes.csv.Ab3dE9",
                                  "._01_02.csv.Ab3dE9", "2027_01_02.csv"}) {
        makeFile(dir.file(lookalike), true);
        kept.insert(lookalike);
    }
    const std::string target = outside.file("2027_01_04.csv");
    makeFile(target, true);
    ASSERT_EQ(::symlink(target.c_str(), dir.file(".2027_01_04.csv.Link00").c_str()), 0);
    makeOld(dir.file(".2027_01_04.csv.Link00"));
    kept.insert(".2027_01_04.csv.Link00");
    ASSERT_EQ(::mkdir(dir.file(".2027_01_05.csv.Folder").c_str(), 0755), 0);
    makeOld(dir.file(".2027_01_05.csv.Folder"));
    kept.insert(".2027_01_05.csv.Folder");
    if (::geteuid() == 0) {
        makeFile(dir.file(".2027_01_06.csv.nobody"), true);
        ASSERT_EQ(::lchown(dir.file(".2027_01_06.csv.nobody").c_str(), 65534, 65534), 0);
        kept.insert(".2027_01_06.csv.nobody");
    }

    EXPECT_EQ(removeStaleReportTemporaries(dir.path().string()), 2u);
    EXPECT_EQ(namesIn(dir.path()), kept);
    EXPECT_TRUE(std::filesystem::exists(target));
    EXPECT_EQ(removeStaleReportTemporaries(dir.file("missing")), 0u);
}

}  // namespace
}  // namespace sondrel
