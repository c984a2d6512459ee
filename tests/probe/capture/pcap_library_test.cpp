#include "probe/capture/pcap_library.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "probe/capture/capture_thread.h"

namespace sondrel {
namespace {

// Stub libraries built beside this test (see CMakeLists.txt).
constexpr std::string_view kComplete = SONDREL_PCAP_STUB_COMPLETE;
constexpr std::string_view kNoSetfilter = SONDREL_PCAP_STUB_NO_SETFILTER;
constexpr std::string_view kNoCompileNoBreakloop = SONDREL_PCAP_STUB_NO_COMPILE_NO_BREAKLOOP;
constexpr std::string_view kNoFindalldevs = SONDREL_PCAP_STUB_NO_FINDALLDEVS;
constexpr std::string_view kNoOpenLive = SONDREL_PCAP_STUB_NO_OPEN_LIVE;
constexpr std::string_view kNoSetBufferSize = SONDREL_PCAP_STUB_NO_SET_BUFFER_SIZE;
constexpr std::string_view kAbsent = "/nonexistent/libpcap.so.1";

struct LoadCase {
    std::string name;
    std::vector<std::string_view> fileNames;
    bool loads;
    std::string_view fileName;    // the file that loaded, if any
    std::string entryPoint;       // the missing entry point reported
};

void PrintTo(const LoadCase& c, std::ostream* out) {
    *out << c.name;
}

class LoadCaptureLibrary : public testing::TestWithParam<LoadCase> {};

TEST_P(LoadCaptureLibrary, BindsTheFirstLoadableFileOrSaysWhyNot) {
    const LoadCase& c = GetParam();
    const CaptureLibraryLoad load = loadCaptureLibrary(c.fileNames);
    if (c.loads) {
        const auto* library = std::get_if<CaptureLibrary>(&load);
        ASSERT_NE(library, nullptr);
        EXPECT_EQ(library->fileName, c.fileName);
        EXPECT_EQ(library->datalink(nullptr), 4242);
        for (const void* entry : {reinterpret_cast<const void*>(library->findalldevs),
                                  reinterpret_cast<const void*>(library->freealldevs),
                                  reinterpret_cast<const void*>(library->open_live),
                                  reinterpret_cast<const void*>(library->compile),
                                  reinterpret_cast<const void*>(library->setfilter),
                                  reinterpret_cast<const void*>(library->dispatch),
                                  reinterpret_cast<const void*>(library->close),
                                  reinterpret_cast<const void*>(library->breakloop),
                                  reinterpret_cast<const void*>(library->create),
                                  reinterpret_cast<const void*>(library->set_snaplen),
                                  reinterpret_cast<const void*>(library->set_promisc),
                                  reinterpret_cast<const void*>(library->set_timeout),
                                  reinterpret_cast<const void*>(library->set_buffer_size),
                                  reinterpret_cast<const void*>(library->activate),
                                  reinterpret_cast<const void*>(library->geterr),
                                  reinterpret_cast<const void*>(library->statustostr)}) {
            EXPECT_NE(entry, nullptr);
        }
        return;
    }
    const auto* failure = std::get_if<CaptureLibraryFailure>(&load);
    ASSERT_NE(failure, nullptr);
    if (c.entryPoint.empty()) {
        EXPECT_EQ(failure->error, CaptureLibraryError::NotLoadable);
    } else {
        EXPECT_EQ(failure->error, CaptureLibraryError::EntryPointMissing);
        EXPECT_EQ(failure->fileName, c.fileName);
        EXPECT_EQ(failure->entryPoint, c.entryPoint);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Stubs, LoadCaptureLibrary,
    testing::Values(LoadCase{"CompleteFile", {kComplete}, true, kComplete, ""},
                    LoadCase{"SkipsUnloadableNames", {kAbsent, "/nonexistent/libpcap.so.0.8", kComplete}, true,
                             kComplete, ""},
                    LoadCase{"NothingLoadable", {kAbsent, "/nonexistent/libpcap.so"}, false, "", ""},
                    LoadCase{"NoNames", {}, false, "", ""},
                    LoadCase{"MissingEntryPoint", {kNoSetfilter}, false, kNoSetfilter, "pcap_setfilter"},
                    LoadCase{"FirstMissingInBindingOrder", {kNoCompileNoBreakloop}, false, kNoCompileNoBreakloop,
                             "pcap_compile"},
                    LoadCase{"FirstEntryPointMissing", {kNoFindalldevs}, false, kNoFindalldevs, "pcap_findalldevs"},
                    // Required although the device is opened with pcap_create.
                    LoadCase{"OpenLiveStillRequired", {kNoOpenLive}, false, kNoOpenLive, "pcap_open_live"},
                    LoadCase{"RingSizeSetterRequired", {kNoSetBufferSize}, false, kNoSetBufferSize,
                             "pcap_set_buffer_size"},
                    // The first file that loads is the library: a later complete one is not tried.
                    LoadCase{"IncompleteFileIsNotPassedOver", {kNoSetfilter, kComplete}, false, kNoSetfilter,
                             "pcap_setfilter"}),
    [](const auto& info) { return info.param.name; });

TEST(SystemCaptureLibraryNames, TriedInThisOrder) {
    const auto names = systemCaptureLibraryNames();
    EXPECT_EQ(std::vector<std::string_view>(names.begin(), names.end()),
              (std::vector<std::string_view>{"libpcap.so.1", "libpcap.so.0.8", "libpcap.so"}));
}

class CollectingNotifier final : public Notifier {
public:
    void showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon icon) override {
        messages.push_back(caption + u"|" + text + (icon == MessageIcon::Error ? u"|error" : u"|other"));
    }
    void showCaptureLibraryMissing() override { messages.push_back(u"library missing dialog"); }

    std::vector<std::u16string> messages;
};

struct ThreadLoadCase {
    std::string name;
    std::vector<std::string_view> fileNames;
    std::vector<std::u16string> expected;
};

void PrintTo(const ThreadLoadCase& c, std::ostream* out) {
    *out << c.name;
}

class CaptureThreadLoading : public testing::TestWithParam<ThreadLoadCase> {};

TEST_P(CaptureThreadLoading, ReportsLoadFailures) {
    auto control = std::make_shared<CaptureControl>();
    control->captureRunning = true;
    CollectingNotifier notifier;
    LiveCaptureHandles handles;
    const auto names = GetParam().fileNames;
    CaptureThread(control, notifier, handles, [&] { return loadCaptureLibrary(names); });
    EXPECT_EQ(notifier.messages, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Stubs, CaptureThreadLoading,
    testing::Values(ThreadLoadCase{"NoFileLoads", {kAbsent}, {u"library missing dialog"}},
                    ThreadLoadCase{"EntryPointMissing",
                                   {kAbsent, kNoSetfilter},
                                   {u"Error|Can't find function in " +
                                    std::u16string(kNoSetfilter.begin(), kNoSetfilter.end()) + u"|error"}},
                    // The stub's device list is empty.
                    ThreadLoadCase{"CompleteStub", {kComplete}, {u"Error|No interfaces available!|error"}}),
    [](const auto& info) { return info.param.name; });

// Reads the live system: needs the libpcap runtime package installed.
TEST(CaptureLibraryIntegration, LoadsTheInstalledLibpcap) {
    const CaptureLibraryLoad load = loadSystemCaptureLibrary();
    const auto* library = std::get_if<CaptureLibrary>(&load);
    if (library == nullptr) {
        GTEST_SKIP() << "no libpcap runtime installed: " << std::get<CaptureLibraryFailure>(load).detail;
    }
    const auto names = systemCaptureLibraryNames();
    EXPECT_NE(std::find(names.begin(), names.end(), library->fileName), names.end());
    EXPECT_EQ(library->datalink == nullptr, false);
}

}  // namespace
}  // namespace sondrel
