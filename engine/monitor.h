#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/accounting.h"
#include "engine/capture_status.h"
#include "engine/host_name_resolver.h"
#include "engine/main_lists.h"
#include "engine/records.h"
#include "base/clock.h"
#include "base/notifier.h"
#include "base/capture_control.h"
#include "engine/owners/owner_lookup.h"
#include "config/default_address.h"
#include "history/history_view.h"
#include "config/data_caps.h"
#include "reports/daily_report.h"

namespace sondrel {

class HistoryKeeper;
class OwnerSource;
struct DataCapUse;
class PacketSource;
struct Settings;
struct SettingsDefaults;

// What the engine needs from the machine; tests replace any of it.
struct MonitorServices {
    std::shared_ptr<Notifier> notifier;            // default: StderrNotifier
    std::shared_ptr<const Clock> clock;            // default: SystemClock
    std::shared_ptr<const MonotonicClock> monotonicClock;  // rates; default: SteadyClock
    ReverseLookup reverseLookup;                   // default: systemReverseLookup
    std::string settingsFolder;                    // empty: the XDG folder
    // Home folder and default capture address; empty: read from this machine.
    std::shared_ptr<const SettingsDefaults> settingsDefaults;
    // Where packets and owners come from. The program's only way is the
    // capture helper (the window holds no privilege); tests make capture
    // threads and discovery in this process instead, with stand-in libraries
    // and proc trees (inProcessSources).
    struct Sources {
        std::shared_ptr<PacketSource> packets;
        std::shared_ptr<OwnerSource> owners;
    };
    using SourceFactory =
        std::function<Sources(const std::shared_ptr<CaptureControl>&, const std::shared_ptr<Notifier>&)>;
    SourceFactory makeSources;                     // empty: the capture helper
    std::string captureHelperPath;                 // empty: beside the program or in libexec
    // Without settingsDefaults: the machine's default capture address, looked
    // up on a worker thread and only when the settings file holds none.
    // Default: DefaultLocalAddress.
    std::function<std::uint32_t()> lookUpDefaultAddress;
    std::size_t maxResolvers = 256;
    // The history's file; empty: no history is kept (tests that do not ask for one).
    std::string historyFile;
    // Beyond it, new endpoints share an "other" row.
    std::size_t maxEndpointRows = TrafficAccountant::kDefaultMaxEndpointRows;
};

// The engine side of the main window: records, lists, queue, settings and the
// one-second tick, with packets and owners from their sources (the capture
// helper, which captures and finds owners). Lives on the UI thread; the worker
// threads behind it (the helper's reader, the resolvers, the default-address
// lookup) hold their shared state themselves, so destroying it (or the process
// ending) never leaves one touching freed memory.
class Monitor {
public:
    explicit Monitor(MonitorServices services = {});
    ~Monitor();

    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // LoadSettings: defaults, the settings folder, the file if readable. When
    // the file holds no capture address, the default one is looked up on a
    // worker thread; until it arrives localAddress stays 0 and no capture runs.
    // A list of interfaces or all of them (the interface file) takes the
    // place of the address; an override given first wins over both.
    void loadSettings();
    // --interfaces: what this run captures, whatever the settings say; not
    // saved unless the user confirms Options. Call before loadSettings().
    void setInterfaceOverride(CaptureSet set) { m_interfaceOverride = std::move(set); }
    // Opens the history and reads the data caps, sets captureRunning, asks
    // the packet source to capture (once the address is known), then the
    // owner source to find owners.
    void start();

    // The tick without the splash step: a default address that has arrived is
    // taken (and capture started), then drain, daily report check, refresh.
    void tick();
    // Caller holds the queue's QueueLock: empties records, queue and both lists.
    void ResetStatistics();

    // Options confirmed: a new interface restarts capture on empty statistics,
    // then the other two values are taken and everything is saved. Returns
    // false when the settings file could not be written (the caller says so).
    // An Address set saves its address in the settings file and removes the
    // interface file; a list or all writes the interface file.
    bool applyOptions(std::optional<CaptureSet> newSet, std::int32_t dailyReports, std::u16string reportFolder);

    // First steps of the exit sequence: flags cleared, the packet source shut
    // down, owner discovery stopped, what was queued counted and written to
    // the history.
    void stop();

    // Export commands; false when the file cannot be created.
    bool exportHtml(const std::string& path);
    bool exportCsv(const std::string& path);

    const Settings& settings() const;
    const std::string& settingsFolder() const { return m_services.settingsFolder; }
    std::uint32_t localAddress() const { return m_capture->localAddress.load(); }
    CaptureSet captureSet() const { return m_capture->captureSet(); }
    MainLists& lists() { return *m_lists; }
    CaptureControl& capture() { return *m_capture; }
    const std::shared_ptr<RecordsState>& records() const { return m_records; }
    Notifier& notifier() { return *m_services.notifier; }
    const OwnerLookupService& ownerLookup() const;
    PacketSource& packetSource() { return *m_packets; }
    const Clock& clock() const { return *m_services.clock; }
    bool dailyDone() const { return m_dailySchedule.dailyDone(); }
    // A failed daily report waits for its next attempt (statistics kept).
    bool dailyReportPending() const { return m_dailySchedule.retryPending(); }
    bool defaultAddressPending() const { return m_defaultAddress != nullptr; }
    // What is captured and how it goes; callable from any thread.
    CaptureStatus captureStatus() const;
    // The counted days, for the History window; null while there is no store.
    const HistoryView* history() const;
    // The data caps the Options saved: checked from the next tick on.
    void setDataCaps(std::vector<DataCap> caps);
    // Each cap's use at its last check; callable from any thread.
    std::vector<DataCapUse> dataCapUses() const;

private:
    void CheckDailyReport();
    void noticeOverflow();
    void startCapture();
    void takeDefaultAddress();
    void takeInterfaces();

    MonitorServices m_services;
    std::shared_ptr<RecordsState> m_records;
    std::shared_ptr<CaptureControl> m_capture;
    std::unique_ptr<Settings> m_settings;
    std::unique_ptr<MainLists> m_lists;
    std::shared_ptr<PacketSource> m_packets;
    std::shared_ptr<OwnerSource> m_owners;
    std::unique_ptr<LocalAddresses> m_local;
    std::unique_ptr<HostNameResolverPool> m_resolvers;
    std::unique_ptr<TrafficAccountant> m_accountant;
    std::unique_ptr<DefaultAddressLookup> m_defaultAddress;
    DailyReportSchedule m_dailySchedule;
    std::optional<CaptureSet> m_interfaceOverride;
    CapturedInterfaces m_interfaces;  // as last taken from the packet source
    std::unique_ptr<HistoryKeeper> m_history;
};

}  // namespace sondrel
