#include "engine/monitor.h"

#include <chrono>
#include <thread>

#include "base/text.h"
#include "engine/accounting.h"
#include "engine/helper/capture_helper.h"
#include "engine/helper/helper_process.h"
#include "config/interface_choice.h"
#include "config/settings.h"
#include "history/history_keeper.h"
#include "engine/owners/owner_source.h"
#include "reports/csv_report.h"
#include "reports/html_report.h"
#include "reports/stale_temporaries.h"

namespace sondrel {

namespace {

MonitorServices withDefaults(MonitorServices services) {
    if (!services.notifier) services.notifier = std::make_shared<StderrNotifier>();
    if (!services.clock) services.clock = std::make_shared<SystemClock>();
    if (!services.monotonicClock) services.monotonicClock = std::make_shared<SteadyClock>();
    if (!services.reverseLookup) services.reverseLookup = systemReverseLookup;
    if (services.settingsFolder.empty()) services.settingsFolder = SettingsFolder();
    if (!services.makeSources && services.captureHelperPath.empty()) services.captureHelperPath = findCaptureHelper();
    if (!services.lookUpDefaultAddress) services.lookUpDefaultAddress = [] { return DefaultLocalAddress(); };
    return services;
}

}  // namespace

Monitor::Monitor(MonitorServices services)
    : m_services(withDefaults(std::move(services))),
      m_records(std::make_shared<RecordsState>()),
      m_capture(std::make_shared<CaptureControl>()),
      m_settings(std::make_unique<Settings>()),
      m_lists(std::make_unique<MainLists>(m_records, m_services.monotonicClock)),
      m_local(std::make_unique<LocalAddresses>(m_capture->localAddress)),
      m_resolvers(std::make_unique<HostNameResolverPool>(m_records, m_services.reverseLookup, m_services.maxResolvers)) {
    if (m_services.makeSources) {
        MonitorServices::Sources sources = m_services.makeSources(m_capture, m_services.notifier);
        m_packets = std::move(sources.packets);
        m_owners = std::move(sources.owners);
    } else {
        auto helper = std::make_shared<CaptureHelper>(m_capture, m_services.notifier, m_services.captureHelperPath);
        m_packets = helper;
        m_owners = helper;
    }
    m_accountant = std::make_unique<TrafficAccountant>(m_records, *m_owners, *m_resolvers, *m_local);
    m_accountant->setMaxEndpointRows(m_services.maxEndpointRows);
}

Monitor::~Monitor() { stop(); }

void Monitor::loadSettings() {
    m_defaultAddress.reset();
    std::optional<CaptureSet> wider = m_interfaceOverride;
    if (!wider) wider = loadInterfaceChoice(m_services.settingsFolder);
    if (wider && wider->followsInterfaces()) {
        // The address stays what the file says, for a later one-address choice.
        LoadSettings(*m_settings, m_services.settingsFolder,
                     m_services.settingsDefaults ? *m_services.settingsDefaults
                                                 : SettingsDefaults{defaultReportFolder(), 0});
        m_capture->setCaptureSet(std::move(*wider));
        return;
    }
    if (m_services.settingsDefaults) {
        LoadSettings(*m_settings, m_services.settingsFolder, *m_services.settingsDefaults);
    } else if (!LoadSettings(*m_settings, m_services.settingsFolder, SettingsDefaults{defaultReportFolder(), 0})) {
        // The host-name lookup can wait for DNS for seconds; the window must not.
        m_defaultAddress = std::make_unique<DefaultAddressLookup>(m_services.lookUpDefaultAddress);
    }
    m_capture->setCaptureSet(CaptureSet::ofAddress(m_settings->localAddress));
}

void Monitor::start() {
    // A run killed while writing the midnight report leaves its hidden temporary
    // file; nobody else would ever remove it.
    removeStaleReportTemporaries(u16ToUtf8(m_settings->reportFolder));
    if (!m_history) {
        m_history = std::make_unique<HistoryKeeper>(m_services.historyFile, m_records, m_services.notifier,
                                                    m_services.clock->now());
        m_history->setCaps(loadDataCaps(m_services.settingsFolder));
    }
    m_capture->captureRunning.store(true);
    if (!m_defaultAddress) startCapture();
    m_owners->StartOwnerDiscovery();
}

void Monitor::takeDefaultAddress() {
    if (!m_defaultAddress) return;
    const std::optional<std::uint32_t> address = m_defaultAddress->result();
    if (!address) return;
    m_defaultAddress.reset();
    m_settings->localAddress = *address;
    m_capture->setCaptureSet(CaptureSet::ofAddress(*address));
    if (m_capture->captureRunning.load()) startCapture();
}

void Monitor::startCapture() { m_packets->startCapture(); }

void Monitor::takeInterfaces() {
    CapturedInterfaces interfaces = m_packets->capturedInterfaces();
    if (interfaces == m_interfaces) return;
    m_local->setInterfaces(interfaces);
    {
        const std::scoped_lock guard(m_records->RecordsLock);
        for (const CapturedInterface& captured : interfaces)
            m_records->interfaceNames[captured.index] = utf8ToU16(captured.name);
    }
    m_interfaces = std::move(interfaces);
}

void Monitor::tick() {
    takeDefaultAddress();
    takeInterfaces();
    m_accountant->drainQueue(m_capture->queue);
    noticeOverflow();
    if (m_history) m_history->tick(m_services.clock->now());
    CheckDailyReport();
    m_lists->RefreshApplications();
}

void Monitor::noticeOverflow() {
    if (!m_accountant->takeOverflowNotice()) return;
    m_services.notifier->showNotice(u"Warning",
                                    u"Too many remote endpoints: from now on each application's new endpoints are counted together "
                                    u"in one row whose remote reads \"other\".",
                                    MessageIcon::Warning);
}

void Monitor::CheckDailyReport() {
    const std::optional<LocalTime> day = m_dailySchedule.due(m_settings->dailyReports, m_services.clock->now());
    if (!day) return;
    DailyReportOutcome outcome;
    {
        const std::scoped_lock guard(m_capture->queue.QueueLock);
        outcome = WriteDailyReport(*m_lists, m_settings->reportFolder, *day);
        // Only a complete report may take the statistics; otherwise counting goes on.
        if (outcome.written) ResetStatistics();
    }
    if (m_dailySchedule.attempted(outcome.written)) {
        m_services.notifier->showNotice(u"Error", dailyReportFailureText(outcome), MessageIcon::Error);
    }
}

void Monitor::ResetStatistics() {
    const std::scoped_lock guard(m_records->RecordsLock);
    if (m_history) m_history->beforeReset(m_records->table);
    m_records->table.clear();
    m_records->interfaceBytes.clear();
    m_capture->queue.clear();
    m_accountant->queueCleared();
    m_lists->deleteAllRows();
}

bool Monitor::applyOptions(std::optional<CaptureSet> newSet, std::int32_t dailyReports, std::u16string reportFolder) {
    // The user's choice wins over a default address still being looked up.
    if (newSet) m_defaultAddress.reset();
    if (newSet && !newSet->followsInterfaces() && newSet->address == 0) newSet.reset();
    bool interfaceChoiceSaved = true;
    if (newSet && *newSet != m_capture->captureSet()) {
        m_capture->captureRunning.store(false);
        m_packets->stopCapture();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        {
            const std::scoped_lock guard(m_capture->queue.QueueLock);
            ResetStatistics();
        }
        if (!newSet->followsInterfaces()) m_settings->localAddress = newSet->address;
        m_capture->setCaptureSet(*newSet);
        m_interfaceOverride.reset();
        m_capture->captureRunning.store(true);
        startCapture();
    }
    if (newSet) interfaceChoiceSaved = saveInterfaceChoice(m_services.settingsFolder, *newSet);
    m_settings->dailyReports = dailyReports;
    m_settings->reportFolder = std::move(reportFolder);
    return SaveSettings(*m_settings, m_services.settingsFolder) && interfaceChoiceSaved;
}

void Monitor::stop() {
    m_capture->captureRunning.store(false);
    m_packets->shutdown();
    m_owners->StopOwnerDiscovery();
    if (m_history) {
        m_accountant->drainQueue(m_capture->queue);
        m_history->flushAndWait();
    }
}

const HistoryView* Monitor::history() const { return m_history ? m_history->view() : nullptr; }

void Monitor::setDataCaps(std::vector<DataCap> caps) {
    if (m_history) m_history->setCaps(std::move(caps));
}

std::vector<DataCapUse> Monitor::dataCapUses() const { return m_history ? m_history->capUses() : std::vector<DataCapUse>{}; }

bool Monitor::exportHtml(const std::string& path) {
    const std::optional<LocalTime> now = m_services.clock->now();
    return ExportHtmlReport(*m_lists, path, now.value_or(LocalTime{}));
}

bool Monitor::exportCsv(const std::string& path) { return ExportCsvReport(*m_lists, path); }

CaptureStatus Monitor::captureStatus() const { return m_packets->status(); }

const Settings& Monitor::settings() const { return *m_settings; }

const OwnerLookupService& Monitor::ownerLookup() const { return *m_owners; }

}  // namespace sondrel
