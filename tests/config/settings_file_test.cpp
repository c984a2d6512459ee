#include "config/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "base/notifier.h"
#include "tests/config/test_address.h"

namespace sondrel {
namespace {

namespace fs = std::filesystem;
using test::ipv4;

const SettingsDefaults kDefaults{u"/home/user", ipv4(10, 0, 0, 7)};
const std::string kExampleBytes = "1 C:\\My#Reports 167\xA0" "880\xA0" "896";

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "sondrel-settings-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(m_path, ignored);
    }
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Values a stale in-memory Settings might hold, so that the defaults are seen to be applied.
Settings stale() { return Settings{0, u"stale", ipv4(9, 9, 9, 9)}; }

void expectDefaults(const Settings& settings) {
    EXPECT_EQ(settings.dailyReports, 1);
    EXPECT_EQ(settings.reportFolder, kDefaults.reportFolder);
    EXPECT_EQ(settings.localAddress, kDefaults.localAddress);
}

class RecordingNotifier final : public Notifier {
public:
    struct Message {
        std::u16string caption;
        std::u16string text;
        MessageIcon icon;
    };
    void showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon icon) override {
        messages.push_back({caption, text, icon});
    }
    void showCaptureLibraryMissing() override {}
    std::vector<Message> messages;
};

TEST(LoadSettings, FirstStartCreatesTheFolderWithParentsButNoFile) {
    TempDir dir;
    const fs::path folder = dir.path() / "config" / "Sondrelix";
    Settings settings = stale();
    LoadSettings(settings, folder.string(), kDefaults);
    expectDefaults(settings);
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(fs::is_empty(folder));
}

TEST(LoadSettings, UnusableFilesLeaveTheDefaults) {
    struct Row {
        const char* name;
        void (*prepare)(const fs::path& folder);
    };
    const Row rows[] = {
        {"missing file", [](const fs::path&) {}},
        {"file is a directory", [](const fs::path& folder) { fs::create_directory(folder / "conf01.dat"); }},
        {"file is a FIFO", [](const fs::path& folder) { ASSERT_EQ(::mkfifo((folder / "conf01.dat").c_str(), 0600), 0); }},
        {"dangling symbolic link", [](const fs::path& folder) { fs::create_symlink(folder / "nowhere", folder / "conf01.dat"); }},
        {"folder path is a file", [](const fs::path& folder) {
             fs::remove(folder);
             writeFile(folder, "1 /r 5");
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const fs::path folder = dir.path() / "Sondrelix";
        fs::create_directory(folder);
        row.prepare(folder);
        Settings settings = stale();
        EXPECT_FALSE(LoadSettings(settings, folder.string(), kDefaults)) << "no address from the file";
        expectDefaults(settings);
    }
}

TEST(LoadSettings, UnreadableFileLeavesTheDefaults) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
    TempDir dir;
    writeFile(dir.path() / "conf01.dat", kExampleBytes);
    fs::permissions(dir.path() / "conf01.dat", fs::perms::none);
    Settings settings = stale();
    LoadSettings(settings, dir.path().string(), kDefaults);
    expectDefaults(settings);
}

TEST(LoadSettings, ReadsTheFileOverTheDefaults) {
    struct Row {
        const char* name;
        std::string bytes;
        Settings expected;
        bool addressFromFile;
    };
    const Row rows[] = {
        {"worked example", kExampleBytes, {1, u"C:\\My Reports", ipv4(192, 168, 1, 10)}, true},
        {"empty file", "", {1, u"", kDefaults.localAddress}, false},
        {"ends after the flag", "0", {0, u"", kDefaults.localAddress}, false},
        {"ends after the folder", "0 /data", {0, u"/data", kDefaults.localAddress}, false},
        {"address 0, which no interface carries", "0 /data 0", {0, u"/data", 0}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        writeFile(dir.path() / "conf01.dat", row.bytes);
        Settings settings = stale();
        EXPECT_EQ(LoadSettings(settings, dir.path().string(), kDefaults), row.addressFromFile);
        EXPECT_EQ(settings.dailyReports, row.expected.dailyReports);
        EXPECT_EQ(settings.reportFolder, row.expected.reportFolder);
        EXPECT_EQ(settings.localAddress, row.expected.localAddress);
    }
}

TEST(LoadSettings, ReadsNoMoreThanTheLimit) {
    TempDir dir;
    writeFile(dir.path() / "conf01.dat", "0 /" + std::string(kSettingsFileReadLimit, 'a') + " 5");
    Settings settings = stale();
    LoadSettings(settings, dir.path().string(), kDefaults);
    EXPECT_EQ(settings.dailyReports, 0);
    EXPECT_EQ(settings.reportFolder, u"/" + std::u16string(kReportFolderCapacity - 1, u'a'));
    EXPECT_EQ(settings.localAddress, kDefaults.localAddress);
}

TEST(SaveSettings, WritesExactlyTheEncodedBytesOverAnOlderFile) {
    TempDir dir;
    writeFile(dir.path() / "conf01.dat", std::string(100, 'x'));
    const Settings settings{1, u"C:\\My Reports", ipv4(192, 168, 1, 10)};
    EXPECT_TRUE(SaveSettings(settings, dir.path().string()));
    EXPECT_EQ(readFile(dir.path() / "conf01.dat"), kExampleBytes);
    EXPECT_EQ(settings.reportFolder, u"C:\\My Reports");
}

TEST(SaveSettings, UnmappableFolderCharacterStillWritesTheAddress) {
    TempDir dir;
    EXPECT_TRUE(SaveSettings({0, u"/tmp/\u65E5", ipv4(192, 168, 1, 10)}, dir.path().string()));
    EXPECT_EQ(readFile(dir.path() / "conf01.dat"), "0 /tmp/? 167\xA0" "880\xA0" "896");
}

TEST(SaveSettings, FailsWhenTheFileCannotBeOpenedOrWritten) {
    struct Row {
        const char* name;
        void (*prepare)(const fs::path& folder);
    };
    const Row rows[] = {
        {"folder missing", [](const fs::path& folder) { fs::remove(folder); }},
        {"file is a directory", [](const fs::path& folder) { fs::create_directory(folder / "conf01.dat"); }},
        {"file is a FIFO without reader", [](const fs::path& folder) { ASSERT_EQ(::mkfifo((folder / "conf01.dat").c_str(), 0600), 0); }},
        // /dev/full opens and then fails every write, as a full disk does.
        {"disk full", [](const fs::path& folder) { fs::create_symlink("/dev/full", folder / "conf01.dat"); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const fs::path folder = dir.path() / "Sondrelix";
        fs::create_directory(folder);
        row.prepare(folder);
        RecordingNotifier notifier;
        EXPECT_FALSE(SaveSettings({1, u"/r", 0}, folder.string(), notifier));
        ASSERT_EQ(notifier.messages.size(), 1u);
        EXPECT_EQ(notifier.messages[0].caption, u"Error");
        EXPECT_EQ(notifier.messages[0].text, u"Can't save configuration to a file!");
        EXPECT_EQ(notifier.messages[0].icon, MessageIcon::Error);
        EXPECT_FALSE(fs::is_directory(folder) && fs::is_regular_file(folder / "conf01.dat"));
    }
}

TEST(SaveSettings, SuccessShowsNothing) {
    TempDir dir;
    RecordingNotifier notifier;
    EXPECT_TRUE(SaveSettings({1, u"/r", 0}, dir.path().string(), notifier));
    EXPECT_TRUE(notifier.messages.empty());
}

TEST(SettingsFile, SavedSettingsLoadBack) {
    TempDir dir;
    const Settings saved{0, u"/home/user/My Reports", ipv4(10, 1, 168, 192)};
    ASSERT_TRUE(SaveSettings(saved, dir.path().string()));
    Settings loaded = stale();
    LoadSettings(loaded, dir.path().string(), kDefaults);
    EXPECT_EQ(loaded.dailyReports, saved.dailyReports);
    EXPECT_EQ(loaded.reportFolder, saved.reportFolder);
    EXPECT_EQ(loaded.localAddress, saved.localAddress);
}

Environment fakeEnvironment(std::map<std::string, std::string> variables, std::optional<std::string> passwordHome) {
    Environment env;
    env.variable = [variables](const char* name) -> std::optional<std::string> {
        const auto found = variables.find(name);
        if (found == variables.end()) return std::nullopt;
        return found->second;
    };
    env.passwordHome = [passwordHome] { return passwordHome; };
    return env;
}

TEST(SettingsFolder, FollowsTheXdgRules) {
    struct Row {
        const char* name;
        std::map<std::string, std::string> variables;
        std::optional<std::string> passwordHome;
        std::string folder;
    };
    const Row rows[] = {
        {"XDG_CONFIG_HOME set", {{"XDG_CONFIG_HOME", "/x/cfg"}, {"HOME", "/home/u"}}, "/home/pw", "/x/cfg/Sondrelix"},
        {"XDG_CONFIG_HOME empty", {{"XDG_CONFIG_HOME", ""}, {"HOME", "/home/u"}}, "/home/pw", "/home/u/.config/Sondrelix"},
        {"XDG_CONFIG_HOME unset", {{"HOME", "/home/u"}}, "/home/pw", "/home/u/.config/Sondrelix"},
        {"XDG_CONFIG_HOME relative", {{"XDG_CONFIG_HOME", "cfg"}, {"HOME", "/home/u"}}, "/home/pw", "/home/u/.config/Sondrelix"},
        {"HOME with trailing slash", {{"HOME", "/home/u/"}}, "/home/pw", "/home/u/.config/Sondrelix"},
        {"HOME is the root", {{"HOME", "/"}}, "/home/pw", "/.config/Sondrelix"},
        {"HOME unset", {}, "/home/pw", "/home/pw/.config/Sondrelix"},
        {"HOME empty", {{"HOME", ""}}, "/home/pw", "/home/pw/.config/Sondrelix"},
        {"no home anywhere", {}, std::nullopt, "/.config/Sondrelix"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(SettingsFolder(fakeEnvironment(row.variables, row.passwordHome)), row.folder);
    }
}

TEST(SettingsFolder, FileNameIsInsideTheFolder) {
    EXPECT_EQ(SettingsFilePath("/x/cfg/Sondrelix"), "/x/cfg/Sondrelix/conf01.dat");
}

TEST(HomeDirectory, PrefersHomeThenTheUserDatabase) {
    struct Row {
        const char* name;
        std::map<std::string, std::string> variables;
        std::optional<std::string> passwordHome;
        std::string home;
    };
    const Row rows[] = {
        {"HOME set", {{"HOME", "/home/u"}}, "/home/pw", "/home/u"},
        {"HOME empty", {{"HOME", ""}}, "/home/pw", "/home/pw"},
        {"HOME unset", {}, "/home/pw", "/home/pw"},
        {"user database empty", {}, "", "/"},
        {"nothing", {}, std::nullopt, "/"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(HomeDirectory(fakeEnvironment(row.variables, row.passwordHome)), row.home);
    }
}

}  // namespace
}  // namespace sondrel
