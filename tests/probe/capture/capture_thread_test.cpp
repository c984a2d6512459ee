#include "probe/capture/capture_thread.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "probe/capture/decode_frame.h"
#include "tests/support/test_frames.h"

namespace sondrel {
namespace {

using namespace std::chrono_literals;
using test::Bytes;

constexpr auto kPatience = 10s;

std::uint32_t address(const char* dotted) {
    return inet_addr(dotted);
}

// A capture library of test functions. One FakePcap is current at a time;
// the functions reach it through this pointer because libpcap's entry points
// take no context.
class FakePcap;
FakePcap* g_fake = nullptr;

struct FakeDevice {
    std::string name;
    std::vector<std::string> ipv4{};  // dotted addresses
    std::vector<std::uint32_t> ipv6FlowInfo{};  // AF_INET6 entries, flow info set to these words
    bool nullAddressFirst = false;
};

// One pcap_dispatch call: the frames it delivers, what it returns, and what
// the "UI thread" does meanwhile.
struct DispatchStep {
    std::vector<Bytes> frames{};
    int result = 0;
    bool clearCaptureRunning = false;
    const char* newLocalAddress = nullptr;
};

class FakePcap {
public:
    // Configuration, set before the run.
    int findResult = 0;
    std::vector<FakeDevice> devices;
    bool createFails = false;
    std::string createError;
    int activateStatus = 0;
    std::string activateError;  // what pcap_geterr answers after pcap_activate
    int datalink = DLT_EN10MB;
    std::deque<DispatchStep> script;  // once used up, dispatch blocks until pcap_breakloop
    std::shared_ptr<CaptureControl> control;

    FakePcap() { g_fake = this; }
    ~FakePcap() { g_fake = nullptr; }

    CaptureLibrary library() {
        CaptureLibrary lib;
        lib.findalldevs = &findalldevs;
        lib.freealldevs = &freealldevs;
        lib.open_live = &open_live;
        lib.create = &create;
        lib.set_snaplen = &set_snaplen;
        lib.set_promisc = &set_promisc;
        lib.set_timeout = &set_timeout;
        lib.set_buffer_size = &set_buffer_size;
        lib.activate = &activate;
        lib.geterr = &geterr;
        lib.statustostr = &statustostr;
        lib.compile = &compile;
        lib.setfilter = &setfilter;
        lib.dispatch = &dispatch;
        lib.close = &close;
        lib.datalink = &datalinkOf;
        lib.breakloop = &breakloop;
        lib.fileName = "libpcap.so.0.8";
        // Released when the capture thread is done with the library: the
        // tests' signal that the thread has finished.
        lib.module = std::shared_ptr<void>(this, [](void* fake) { static_cast<FakePcap*>(fake)->released(); });
        return lib;
    }

    CaptureLibraryLoader loader() {
        return [this] { return CaptureLibraryLoad(library()); };
    }

    // Interfaces coming and going while a run waits for its address.
    void setDevices(std::vector<FakeDevice> now) {
        const std::scoped_lock guard(m_lock);
        devices = std::move(now);
    }

    void log(std::string event) {
        const std::scoped_lock guard(m_lock);
        m_events.push_back(std::move(event));
    }

    std::vector<std::string> events() {
        const std::scoped_lock guard(m_lock);
        return m_events;
    }

    bool waitUntilBlocked(int threads) {
        std::unique_lock guard(m_lock);
        return m_changed.wait_for(guard, kPatience, [&] { return m_blocked >= threads; });
    }

    bool waitUntilReleased(int threads) {
        std::unique_lock guard(m_lock);
        return m_changed.wait_for(guard, kPatience, [&] { return m_released >= threads; });
    }

private:
    static int findalldevs(pcap_if_t** list, char*) {
        g_fake->log("findalldevs");
        *list = g_fake->buildDeviceList();
        return g_fake->findResult;
    }

    static void freealldevs(pcap_if_t* list) {
        g_fake->log(list == g_fake->m_head ? "freealldevs" : "freealldevs of a foreign list");
    }

    static pcap_t* open_live(const char*, int, int, int, char*) {
        g_fake->log("open_live");
        return nullptr;
    }

    static pcap_t* create(const char* device, char* errorText) {
        if (g_fake->createFails) {
            std::snprintf(errorText, PCAP_ERRBUF_SIZE, "%s", g_fake->createError.c_str());
            return nullptr;
        }
        const std::scoped_lock guard(g_fake->m_lock);
        const auto handle = reinterpret_cast<pcap_t*>(static_cast<std::uintptr_t>(++g_fake->m_opened));
        g_fake->m_breakRequested[handle] = false;
        g_fake->m_settings[handle] = {.device = device};
        return handle;
    }

    static int set_snaplen(pcap_t* handle, int value) { return g_fake->set(handle, &HandleSettings::snaplen, value); }
    static int set_promisc(pcap_t* handle, int value) { return g_fake->set(handle, &HandleSettings::promisc, value); }
    static int set_timeout(pcap_t* handle, int value) { return g_fake->set(handle, &HandleSettings::timeout, value); }
    static int set_buffer_size(pcap_t* handle, int value) { return g_fake->set(handle, &HandleSettings::buffer, value); }

    // Logs the settings the handle is activated with (-1: never set).
    static int activate(pcap_t* handle) {
        HandleSettings settings;
        {
            const std::scoped_lock guard(g_fake->m_lock);
            settings = g_fake->m_settings[handle];
            settings.activated = true;
            g_fake->m_settings[handle] = settings;
        }
        g_fake->log("activate " + settings.device + " snaplen " + std::to_string(settings.snaplen) + " promisc " +
                    std::to_string(settings.promisc) + " timeout " + std::to_string(settings.timeout) + " buffer " +
                    std::to_string(settings.buffer));
        return g_fake->activateStatus;
    }

    static char* geterr(pcap_t*) { return g_fake->activateError.data(); }

    static const char* statustostr(int status) {
        g_fake->m_statusText = "text of status " + std::to_string(status);
        return g_fake->m_statusText.c_str();
    }

    static int compile(pcap_t*, bpf_program*, const char*, int, bpf_u_int32) {
        g_fake->log("compile");
        return -1;
    }

    static int setfilter(pcap_t*, bpf_program*) {
        g_fake->log("setfilter");
        return -1;
    }

    static int datalinkOf(pcap_t*) {
        g_fake->log("datalink");
        return g_fake->datalink;
    }

    static int dispatch(pcap_t* handle, int count, pcap_handler handler, u_char* user) {
        g_fake->log("dispatch " + std::to_string(count));
        std::unique_lock guard(g_fake->m_lock);
        if (g_fake->script.empty()) {
            // An idle interface: only pcap_breakloop (sticky, as in libpcap) ends the wait.
            ++g_fake->m_blocked;
            g_fake->m_changed.notify_all();
            const bool woken = g_fake->m_changed.wait_for(guard, kPatience, [&] { return g_fake->m_breakRequested[handle]; });
            g_fake->m_breakRequested[handle] = false;
            --g_fake->m_blocked;
            if (!woken) {
                ADD_FAILURE() << "pcap_dispatch blocked and nobody woke it";
                return PCAP_ERROR;
            }
            return PCAP_ERROR_BREAK;
        }
        const DispatchStep step = g_fake->script.front();
        g_fake->script.pop_front();
        guard.unlock();
        for (const Bytes& frame : step.frames) {
            const pcap_pkthdr header{{}, static_cast<bpf_u_int32>(frame.size()), static_cast<bpf_u_int32>(frame.size())};
            handler(user, &header, frame.data());
        }
        if (step.newLocalAddress != nullptr) {
            g_fake->control->localAddress = address(step.newLocalAddress);
        }
        if (step.clearCaptureRunning) {
            g_fake->control->captureRunning = false;
        }
        return step.result;
    }

    static void close(pcap_t* handle) {
        g_fake->log("close");
        const std::scoped_lock guard(g_fake->m_lock);
        g_fake->m_breakRequested.erase(handle);
        g_fake->m_settings.erase(handle);
    }

    static void breakloop(pcap_t* handle) {
        const std::scoped_lock guard(g_fake->m_lock);
        const auto open = g_fake->m_breakRequested.find(handle);
        if (open == g_fake->m_breakRequested.end()) {
            ADD_FAILURE() << "pcap_breakloop on a closed handle";
            return;
        }
        open->second = true;
        g_fake->m_changed.notify_all();
    }

    struct HandleSettings {
        std::string device;
        int snaplen = -1;
        int promisc = -1;
        int timeout = -1;
        int buffer = -1;
        bool activated = false;
    };

    // As libpcap: a setting can no longer be changed once the handle is active.
    int set(pcap_t* handle, int HandleSettings::*field, int value) {
        const std::scoped_lock guard(m_lock);
        HandleSettings& settings = m_settings[handle];
        if (settings.activated) {
            return PCAP_ERROR_ACTIVATED;
        }
        settings.*field = value;
        return 0;
    }

    void released() {
        const std::scoped_lock guard(m_lock);
        ++m_released;
        m_changed.notify_all();
    }

    pcap_if_t* buildDeviceList() {
        const std::scoped_lock guard(m_lock);
        m_ifs.clear();
        m_addrs.clear();
        m_ipv4.clear();
        m_ipv6.clear();
        pcap_if_t* previous = nullptr;
        m_head = nullptr;
        for (const FakeDevice& device : devices) {
            pcap_if_t& entry = m_ifs.emplace_back(pcap_if_t{});
            entry.name = const_cast<char*>(device.name.c_str());
            pcap_addr_t* lastAddr = nullptr;
            const auto append = [&](sockaddr* addr) {
                pcap_addr_t& a = m_addrs.emplace_back(pcap_addr_t{});
                a.addr = addr;
                (lastAddr != nullptr ? lastAddr->next : entry.addresses) = &a;
                lastAddr = &a;
            };
            if (device.nullAddressFirst) {
                append(nullptr);
            }
            for (const std::uint32_t flow : device.ipv6FlowInfo) {
                sockaddr_in6& v6 = m_ipv6.emplace_back(sockaddr_in6{});
                v6.sin6_family = AF_INET6;
                v6.sin6_flowinfo = flow;
                append(reinterpret_cast<sockaddr*>(&v6));
            }
            for (const std::string& dotted : device.ipv4) {
                sockaddr_in& v4 = m_ipv4.emplace_back(sockaddr_in{});
                v4.sin_family = AF_INET;
                v4.sin_addr.s_addr = address(dotted.c_str());
                append(reinterpret_cast<sockaddr*>(&v4));
            }
            (previous != nullptr ? previous->next : m_head) = &entry;
            previous = &entry;
        }
        return findResult == -1 ? nullptr : m_head;
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::string> m_events;
    std::map<pcap_t*, bool> m_breakRequested;  // open handles
    std::map<pcap_t*, HandleSettings> m_settings;
    std::string m_statusText;
    int m_opened = 0;
    int m_blocked = 0;
    int m_released = 0;
    std::deque<pcap_if_t> m_ifs;
    std::deque<pcap_addr_t> m_addrs;
    std::deque<sockaddr_in> m_ipv4;
    std::deque<sockaddr_in6> m_ipv6;
    pcap_if_t* m_head = nullptr;
};

// Logs every message box into the fake's event log, so the order of boxes and
// library calls can be checked together.
class RecordingNotifier final : public Notifier {
public:
    explicit RecordingNotifier(FakePcap* fake) : m_fake(fake) {}

    void showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon icon) override {
        m_fake->log("box [" + u16ToUtf8(caption) + "] " + u16ToUtf8(text) +
                    (icon == MessageIcon::Error ? " (error icon)" : " (other icon)"));
    }

    void showCaptureLibraryMissing() override { m_fake->log("library missing dialog"); }

private:
    FakePcap* m_fake;
};

const FakeDevice kLoopback{"lo", {"127.0.0.1"}};
const FakeDevice kEth0{"eth0", {"10.200.0.1"}};

struct CaptureRun {
    std::shared_ptr<CaptureControl> control = std::make_shared<CaptureControl>();
    std::shared_ptr<LiveCaptureHandles> handles = std::make_shared<LiveCaptureHandles>();
    FakePcap fake;
    std::shared_ptr<RecordingNotifier> notifier = std::make_shared<RecordingNotifier>(&fake);

    explicit CaptureRun(const char* localAddress = "10.200.0.1", bool running = true) {
        control->localAddress = address(localAddress);
        control->captureRunning = running;
        fake.control = control;
        fake.devices = {kLoopback, kEth0};
    }

    void runHere() { CaptureThread(control, *notifier, *handles, fake.loader()); }
};

// Whole frames, promiscuous off, 1000 ms read timeout, a 32 MiB ring.
const std::string kOpenSettings = " snaplen 65536 promisc 0 timeout 1000 buffer 33554432";
const std::string kOpenEth0 = "activate eth0" + kOpenSettings;

struct FailureCase {
    std::string name;
    std::function<void(CaptureRun&)> setUp;
    std::vector<std::string> expectedEvents;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

class CaptureFailures : public testing::TestWithParam<FailureCase> {};

TEST_P(CaptureFailures, ShowTheMessageCleanUpAndEnd) {
    CaptureRun run;
    GetParam().setUp(run);
    run.runHere();
    EXPECT_EQ(run.fake.events(), GetParam().expectedEvents);
    EXPECT_EQ(run.handles->size(), 0u);
    EXPECT_TRUE(run.control->captureRunning);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, CaptureFailures,
    testing::Values(
        FailureCase{"DeviceListError", [](CaptureRun& run) { run.fake.findResult = -1; },
                    {"findalldevs", "box [Error] Error resolving interface list (error icon)"}},
        FailureCase{"NoDevices", [](CaptureRun& run) { run.fake.devices.clear(); },
                    {"findalldevs", "box [Error] No interfaces available! (error icon)"}},
        FailureCase{"NoDeviceCarriesTheAddress", [](CaptureRun& run) { run.control->localAddress = address("10.9.9.9"); },
                    {"findalldevs", "box [Error] Wrong interface! (error icon)", "freealldevs"}},
        FailureCase{"CreateFailsWithReason",
                    [](CaptureRun& run) {
                        run.fake.createFails = true;
                        run.fake.createError = "malloc: Cannot allocate memory";
                    },
                    {"findalldevs", "box [Error] Unable to open the adapter!\nmalloc: Cannot allocate memory (error icon)",
                     "freealldevs"}},
        FailureCase{"CreateFailsSilently", [](CaptureRun& run) { run.fake.createFails = true; },
                    {"findalldevs", "box [Error] Unable to open the adapter! (error icon)", "freealldevs"}},
        FailureCase{"ActivateFailsWithReason",
                    [](CaptureRun& run) {
                        run.fake.activateStatus = PCAP_ERROR_PERM_DENIED;
                        run.fake.activateError = "socket: Operation not permitted";
                    },
                    {"findalldevs", kOpenEth0, "close",
                     "box [Error] Unable to open the adapter!\nsocket: Operation not permitted (error icon)",
                     "freealldevs"}},
        FailureCase{"ActivateFailsWithoutText",
                    [](CaptureRun& run) { run.fake.activateStatus = PCAP_ERROR_IFACE_NOT_UP; },
                    {"findalldevs", kOpenEth0, "close",
                     "box [Error] Unable to open the adapter!\ntext of status -9 (error icon)", "freealldevs"}},
        FailureCase{"DispatchFails",
                    [](CaptureRun& run) {
                        run.fake.script = {DispatchStep{.result = 2}, DispatchStep{.result = -1}};
                    },
                    {"findalldevs", kOpenEth0, "freealldevs", "datalink", "dispatch 10", "dispatch 10",
                     "box [Error] pcap_dispatch() failed! (error icon)", "close"}}),
    [](const auto& info) { return info.param.name; });

// Asked to, a run whose interface is missing or goes away says so once and
// captures again as soon as an interface carries its address.
TEST(CaptureResume, CapturesAgainWhenTheAddressComesBack) {
    const struct {
        const char* name;
        std::vector<FakeDevice> atStart;
        std::deque<DispatchStep> script;
        std::string message;
    } rows[] = {
        {"interface missing at the start", {kLoopback}, {}, "box [Error] Wrong interface! (error icon)"},
        {"interface gone during capture", {kLoopback, kEth0}, {DispatchStep{.result = -1}},
         "box [Error] pcap_dispatch() failed! (error icon)"},
    };
    for (const auto& row : rows) {
        CaptureRun run;
        run.control->resumeWhenAddressReturns = true;
        run.fake.devices = row.atStart;
        run.fake.script = row.script;
        startCaptureThread(run.control, run.notifier, run.handles, run.fake.loader());
        const auto shown = [&] {
            const auto events = run.fake.events();
            return std::count(events.begin(), events.end(), row.message);
        };
        for (auto deadline = std::chrono::steady_clock::now() + kPatience; shown() == 0;) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << row.name;
            std::this_thread::sleep_for(10ms);
        }
        run.fake.setDevices({kLoopback, {"eth1", {"10.200.0.1"}}});
        ASSERT_TRUE(run.fake.waitUntilBlocked(1)) << row.name;
        const auto events = run.fake.events();
        EXPECT_EQ(shown(), 1) << row.name;
        EXPECT_EQ(std::count(events.begin(), events.end(), "activate eth1" + kOpenSettings), 1) << row.name;
        stopCapture(*run.control, *run.handles);
        EXPECT_TRUE(run.fake.waitUntilReleased(1)) << row.name;
    }
}

TEST(CaptureLibraryFailures, MissingLibraryShowsItsDialogOnceAndNothingElse) {
    CaptureRun run;
    run.fake.script = {DispatchStep{.clearCaptureRunning = true}};
    CaptureThread(run.control, *run.notifier, *run.handles,
                  [] { return CaptureLibraryLoad(CaptureLibraryFailure{CaptureLibraryError::NotLoadable}); });
    EXPECT_EQ(run.fake.events(), std::vector<std::string>{"library missing dialog"});
}

TEST(CaptureLibraryFailures, MissingEntryPointNamesTheLoadedFile) {
    CaptureRun run;
    CaptureThread(run.control, *run.notifier, *run.handles, [] {
        return CaptureLibraryLoad(CaptureLibraryFailure{CaptureLibraryError::EntryPointMissing, "libpcap.so.0.8",
                                                        "pcap_breakloop"});
    });
    EXPECT_EQ(run.fake.events(),
              std::vector<std::string>{"box [Error] Can't find function in libpcap.so.0.8 (error icon)"});
}

struct DeviceCase {
    std::string name;
    std::vector<FakeDevice> devices;
    std::string expectedOpen;
};

void PrintTo(const DeviceCase& c, std::ostream* out) {
    *out << c.name;
}

class DeviceChoice : public testing::TestWithParam<DeviceCase> {};

// captureRunning is 0 from the start, so the run opens the device, frees the
// list, reads the link type and closes without a dispatch call.
TEST_P(DeviceChoice, OpensTheLastDeviceCarryingTheAddress) {
    CaptureRun run("10.200.0.1", false);
    run.fake.devices = GetParam().devices;
    run.runHere();
    EXPECT_EQ(run.fake.events(),
              (std::vector<std::string>{"findalldevs", "activate " + GetParam().expectedOpen + kOpenSettings,
                                        "freealldevs", "datalink", "close"}));
}

INSTANTIATE_TEST_SUITE_P(
    Devices, DeviceChoice,
    testing::Values(
        DeviceCase{"OnlyMatch", {kLoopback, kEth0}, "eth0"},
        DeviceCase{"LastOfSeveralMatchesWins",
                   {{"eth0", {"10.200.0.1"}}, {"eth1", {"10.200.0.2"}}, {"br0", {"10.200.0.1"}}, kLoopback},
                   "br0"},
        DeviceCase{"MatchOnALaterAddress", {kLoopback, {"wlan0", {"192.168.1.5", "10.200.0.1"}}}, "wlan0"},
        // The flow info sits where an IPv4 address would; only AF_INET entries count.
        DeviceCase{"Ipv6EntryNeverMatches", {kEth0, {"tun0", {}, {inet_addr("10.200.0.1")}}}, "eth0"},
        DeviceCase{"NullAddressSkipped", {{"any", {}, {}, true}, {"veth0", {"10.200.0.1"}, {}, true}}, "veth0"}),
    [](const auto& info) { return info.param.name; });

struct LoopCase {
    std::string name;
    bool startRunning;
    std::deque<DispatchStep> script;
    int expectedDispatches;
};

void PrintTo(const LoopCase& c, std::ostream* out) {
    *out << c.name;
}

class DispatchLoop : public testing::TestWithParam<LoopCase> {};

TEST_P(DispatchLoop, StopsOnTheFlagOrAnAddressChange) {
    CaptureRun run("10.200.0.1", GetParam().startRunning);
    run.fake.script = GetParam().script;
    run.runHere();
    std::vector<std::string> expected{"findalldevs", kOpenEth0, "freealldevs", "datalink"};
    expected.insert(expected.end(), GetParam().expectedDispatches, "dispatch 10");
    expected.push_back("close");
    EXPECT_EQ(run.fake.events(), expected);
    EXPECT_EQ(run.handles->size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Stops, DispatchLoop,
    testing::Values(
        LoopCase{"NotRunningAtStart", false, {}, 0},
        LoopCase{"RunningClearedDuringThirdCall",
                 true,
                 {DispatchStep{.result = 0}, DispatchStep{.result = 10}, DispatchStep{.result = 3, .clearCaptureRunning = true}},
                 3},
        LoopCase{"AddressChangedDuringSecondCall",
                 true,
                 {DispatchStep{.result = 0}, DispatchStep{.result = 0, .newLocalAddress = "10.200.0.7"}},
                 2},
        LoopCase{"WokenCallContinues",
                 true,
                 {DispatchStep{.result = PCAP_ERROR_BREAK}, DispatchStep{.result = 0, .clearCaptureRunning = true}},
                 2},
        LoopCase{"OtherErrorsContinue",
                 true,
                 {DispatchStep{.result = -3}, DispatchStep{.result = 0, .clearCaptureRunning = true}},
                 2}),
    [](const auto& info) { return info.param.name; });

TEST(DispatchLoop, ActivationWarningIsNoError) {
    CaptureRun run;
    run.fake.activateStatus = PCAP_WARNING_PROMISC_NOTSUP;
    run.fake.script = {DispatchStep{.frames = {test::onLink(LinkType::Ethernet, test::ipv4({.protocol = 17}))},
                                    .result = 1,
                                    .clearCaptureRunning = true}};
    run.runHere();
    EXPECT_EQ(run.fake.events(),
              (std::vector<std::string>{"findalldevs", kOpenEth0, "freealldevs", "datalink", "dispatch 10", "close"}));
    EXPECT_EQ(run.control->queue.records().size(), 1u);
}

// Discovery by /proc asks for passes from the packets of unknown ports: they
// must reach the queue at once, not a read timeout later.
TEST(DispatchLoop, PromptDeliveryOpensWithTheShortReadTimeout) {
    CaptureRun run;
    run.control->promptDelivery = true;
    run.fake.script = {DispatchStep{.clearCaptureRunning = true}};
    run.runHere();
    EXPECT_EQ(run.fake.events().at(1), "activate eth0 snaplen 65536 promisc 0 timeout 20 buffer 33554432");
}

TEST(DispatchLoop, AddressChangeEndsTheRunButLeavesCaptureRunning) {
    CaptureRun run;
    run.fake.script = {DispatchStep{.newLocalAddress = "10.200.0.7"}};
    run.runHere();
    EXPECT_TRUE(run.control->captureRunning);
}

struct FrameCase {
    std::string name;
    int datalink;
    LinkType link;
    std::size_t expectedRecords;
};

void PrintTo(const FrameCase& c, std::ostream* out) {
    *out << c.name;
}

class FramesByLinkType : public testing::TestWithParam<FrameCase> {};

TEST_P(FramesByLinkType, ReachTheQueueInCaptureOrder) {
    CaptureRun run;
    run.fake.datalink = GetParam().datalink;
    const auto frame = [&](std::uint16_t length) {
        return test::onLink(GetParam().link, test::ipv4({.protocol = 17, .totalLength = length}));
    };
    run.fake.script = {DispatchStep{.frames = {frame(101), frame(102)}, .result = 2},
                       DispatchStep{.frames = {frame(103)}, .result = 1, .clearCaptureRunning = true}};
    run.runHere();

    std::vector<std::uint32_t> lengths;
    for (const PacketRecord& record : run.control->queue.records()) {
        lengths.push_back(record.length);
    }
    const std::vector<std::uint32_t> all{101, 102, 103};
    EXPECT_EQ(lengths, std::vector<std::uint32_t>(all.begin(), all.begin() + GetParam().expectedRecords));
}

INSTANTIATE_TEST_SUITE_P(
    LinkTypes, FramesByLinkType,
    testing::Values(FrameCase{"Ethernet", DLT_EN10MB, LinkType::Ethernet, 3},
                    FrameCase{"RawIp", DLT_RAW, LinkType::Raw, 3},
                    FrameCase{"LinuxCooked", DLT_LINUX_SLL, LinkType::LinuxCooked, 3},
                    FrameCase{"CookedFramesOnEthernet", DLT_EN10MB, LinkType::LinuxCooked, 0},
                    FrameCase{"UnsupportedLinkQueuesNothing", DLT_IEEE802_11_RADIO, LinkType::Ethernet, 0}),
    [](const auto& info) { return info.param.name; });

TEST(CaptureWakeup, StopCaptureWakesADispatchBlockedOnAnIdleInterface) {
    CaptureRun run;
    startCaptureThread(run.control, run.notifier, run.handles, run.fake.loader());
    ASSERT_TRUE(run.fake.waitUntilBlocked(1));

    stopCapture(*run.control, *run.handles);

    ASSERT_TRUE(run.fake.waitUntilReleased(1));
    EXPECT_EQ(run.fake.events(), (std::vector<std::string>{"findalldevs", kOpenEth0, "freealldevs", "datalink",
                                                           "dispatch 10", "close"}));
    EXPECT_EQ(run.handles->size(), 0u);
}

TEST(CaptureWakeup, InterfaceChangeEndsTheOldThreadAndTheNewOneCaptures) {
    CaptureRun run;
    run.fake.devices = {kEth0, {"veth1", {"10.201.0.1"}}};
    startCaptureThread(run.control, run.notifier, run.handles, run.fake.loader());
    ASSERT_TRUE(run.fake.waitUntilBlocked(1));

    run.control->localAddress = address("10.201.0.1");
    run.handles->wakeAll();
    ASSERT_TRUE(run.fake.waitUntilReleased(1));
    startCaptureThread(run.control, run.notifier, run.handles, run.fake.loader());
    ASSERT_TRUE(run.fake.waitUntilBlocked(1));
    stopCapture(*run.control, *run.handles);
    ASSERT_TRUE(run.fake.waitUntilReleased(2));

    EXPECT_EQ(run.fake.events(),
              (std::vector<std::string>{"findalldevs", kOpenEth0, "freealldevs", "datalink", "dispatch 10", "close",
                                        "findalldevs", "activate veth1" + kOpenSettings, "freealldevs", "datalink",
                                        "dispatch 10", "close"}));
}

TEST(CaptureWakeup, WakesEveryRunningThread) {
    CaptureRun run;
    startCaptureThread(run.control, run.notifier, run.handles, run.fake.loader());
    ASSERT_TRUE(run.fake.waitUntilBlocked(1));
    startCaptureThread(run.control, run.notifier, run.handles, run.fake.loader());
    ASSERT_TRUE(run.fake.waitUntilBlocked(2));
    EXPECT_EQ(run.handles->size(), 2u);

    stopCapture(*run.control, *run.handles);

    ASSERT_TRUE(run.fake.waitUntilReleased(2));
    EXPECT_EQ(run.handles->size(), 0u);
}

TEST(CaptureWakeup, DetachedThreadOutlivesTheCallersReferences) {
    FakePcap fake;
    auto control = std::make_shared<CaptureControl>();
    auto handles = std::make_shared<LiveCaptureHandles>();
    control->localAddress = address("10.200.0.1");
    control->captureRunning = true;
    fake.control = control;
    fake.devices = {kEth0};
    const std::weak_ptr<CaptureControl> watch = control;
    startCaptureThread(control, std::make_shared<RecordingNotifier>(&fake), handles, fake.loader());
    ASSERT_TRUE(fake.waitUntilBlocked(1));

    auto& stillThere = *control;
    fake.control.reset();
    control.reset();
    EXPECT_FALSE(watch.expired());
    stopCapture(stillThere, *handles);
    ASSERT_TRUE(fake.waitUntilReleased(1));
}

}  // namespace
}  // namespace sondrel
