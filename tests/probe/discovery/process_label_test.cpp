#include "probe/discovery/process_label.h"

#include <gtest/gtest.h>

#include <string>

#include "base/text.h"
#include "tests/support/temp_proc_tree.h"

namespace sondrel {
namespace {

using namespace std::string_literals;
using testing::TempProcTree;

struct LabelRow {
    const char* name;
    std::string cmdline;
    std::string comm;
    std::string exeText;  // no exe link when empty
    std::u16string expected;
};

TEST(LookupProcessLabel, PrefersPathThenFileName) {
    const std::string longPath = "/" + std::string(400, 'p');
    const std::string longPathOfTwoByteChars = "/" + []{ std::string s; for (int i = 0; i < 400; ++i) s += "\xc3\xa9"; return s; }();
    const std::string astralPath = "/" + std::string(357, 'a') + "\xf0\x9f\x98\x80";  // pair would straddle the cut
    const LabelRow rows[] = {
        {"path", "/usr/bin/curl\0"s, "curl", "/usr/bin/curl", u"/usr/bin/curl"},
        {"deleted binary", "/opt/app\0"s, "app", "/opt/app (deleted)", u"/opt/app"},
        {"deleted mark only at the end", "x\0"s, "x", "/opt/ (deleted)/app", u"/opt/ (deleted)/app"},
        {"path with blanks and protocol word", "x\0"s, "x", "/opt/my protocol/tool", u"/opt/my protocol/tool"},
        {"path cut to 359 units", "x\0"s, "x", longPath, asciiToU16(longPath.substr(0, 359))},
        {"two-byte characters counted as units", "x\0"s, "x", longPathOfTwoByteChars,
         u"/" + std::u16string(358, u'\u00e9')},
        {"surrogate pair not split", "x\0"s, "x", astralPath, u"/" + std::u16string(357, u'a')},
        {"invalid utf-8 in path", "x\0"s, "x", "/opt/\xff/app", u"/opt/\uFFFD/app"},
        {"no exe: base name of argv0", "/usr/sbin/dnsd\0-f\0"s, "dnsd", "", u"dnsd"},
        {"no exe, cmdline without NUL", "worker: idle", "worker", "", u"worker: idle"},
        {"no exe, empty cmdline: comm", "", "kworker/0:1", "", u"kworker/0:1"},
        {"no exe, argv0 ends in slash: comm", "/opt/\0"s, "tool", "", u"tool"},
        {"file name cut to 259 units", std::string(300, 'n') + "\0"s, "n", "", std::u16string(259, u'n')},
        {"invalid utf-8 in file name", "/bin/\xc3\0"s, "x", "", u"\uFFFD"},
        {"empty cmdline and empty comm", "", "", "", u""},
    };
    for (const LabelRow& row : rows) {
        TempProcTree tree;
        tree.addProcess(77, row.cmdline, row.comm, row.exeText);
        EXPECT_EQ(LookupProcessLabel(takeProcessSnapshot(tree.root()), 77), row.expected) << row.name;
    }
}

TEST(LookupProcessLabel, NamesProcessIdWhenNotListed) {
    TempProcTree tree;
    tree.addProcess(77, "/bin/a\0"s, "a", "/bin/a");
    const ProcessSnapshot snapshot = takeProcessSnapshot(tree.root());
    EXPECT_EQ(LookupProcessLabel(snapshot, 4242), u"Process ID# 4242");
    EXPECT_EQ(LookupProcessLabel(snapshot, 0), u"Process ID# 0");
    EXPECT_EQ(LookupProcessLabel(snapshot, -1), u"Process ID# -1");
}

TEST(LookupProcessLabel, ProcessGoneAfterSnapshotNamesProcessId) {
    TempProcTree tree;
    tree.addProcess(77, "/bin/a\0"s, "a", "/bin/a");
    const ProcessSnapshot snapshot = takeProcessSnapshot(tree.root());
    tree.remove("77");
    EXPECT_EQ(LookupProcessLabel(snapshot, 77), u"Process ID# 77");
}

TEST(LookupProcessLabel, TwoInstancesOfOneExecutableShareTheLabel) {
    TempProcTree tree;
    tree.addProcess(10, "/usr/bin/app\0"s, "app", "/usr/bin/app");
    tree.addProcess(11, "app\0--second\0"s, "app", "/usr/bin/app");
    const ProcessSnapshot snapshot = takeProcessSnapshot(tree.root());
    EXPECT_EQ(LookupProcessLabel(snapshot, 10), LookupProcessLabel(snapshot, 11));
}

TEST(ProcessSnapshot, ListsNumericEntriesOnly) {
    TempProcTree tree;
    tree.addProcess(300, "c\0"s, "c");
    tree.addProcess(20, "b\0"s, "b");
    tree.addProcess(1, "a\0"s, "a");
    tree.writeFile("net/tcp", "");
    tree.writeFile("self", "");
    tree.writeFile("12ab", "");
    tree.writeFile("-5", "");
    tree.writeFile("0", "");
    EXPECT_EQ(takeProcessSnapshot(tree.root()).pids(), (std::vector<int>{1, 20, 300}));
    EXPECT_TRUE(takeProcessSnapshot(tree.root() + "/missing").pids().empty());
}

}  // namespace
}  // namespace sondrel
