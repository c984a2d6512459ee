#include "app/monitor.h"

#include <chrono>
#include <thread>

#include "app/accounting.h"
#include "capture/capture_thread.h"
#include "capture/live_capture_handles.h"
#include "config/settings.h"
#include "discovery/owner_discovery.h"
#include "reports/csv_report.h"
#include "reports/daily_report.h"
#include "reports/html_report.h"

namespace sondrel {

namespace {

MonitorServices withDefaults(MonitorServices services) {
    if (!services.notifier) services.notifier = std::make_shared<StderrNotifier>();
    if (!services.clock) services.clock = std::make_shared<SystemClock>();
    if (!services.monotonicClock) services.monotonicClock = std::make_shared<SteadyClock>();
    if (!services.reverseLookup) services.reverseLookup = systemReverseLookup;
    if (services.settingsFolder.empty()) services.settingsFolder = SettingsFolder();
    if (!services.loadCaptureLibrary) services.loadCaptureLibrary = loadSystemCaptureLibrary;
    return services;
}

}  // namespace

Monitor::Monitor(MonitorServices services)
    : m_services(withDefaults(std::move(services))),
      m_records(std::make_shared<RecordsState>()),
      m_capture(std::make_shared<CaptureControl>()),
      m_settings(std::make_unique<Settings>()),
      m_lists(std::make_unique<MainLists>(m_records, m_services.monotonicClock)),
      m_discovery(std::make_shared<OwnerDiscovery>(m_services.procRoot, m_services.notifier)),
      m_resolvers(std::make_unique<HostNameResolverPool>(m_records, m_services.reverseLookup, m_services.maxResolvers)),
      m_accountant(std::make_unique<TrafficAccountant>(m_records, *m_discovery, *m_resolvers, m_capture->localAddress)),
      m_captureHandles(std::make_shared<LiveCaptureHandles>()) {}

Monitor::~Monitor() { stop(); }

void Monitor::loadSettings() {
    const SettingsDefaults defaults = m_services.settingsDefaults ? *m_services.settingsDefaults : liveSettingsDefaults();
    LoadSettings(*m_settings, m_services.settingsFolder, defaults);
    m_capture->localAddress.store(m_settings->localAddress);
}

void Monitor::start() {
    m_capture->captureRunning.store(true);
    startCapture();
    m_discovery->StartOwnerDiscovery();
}

void Monitor::startCapture() {
    startCaptureThread(m_capture, m_services.notifier, m_captureHandles, m_services.loadCaptureLibrary);
}

void Monitor::tick() {
    m_accountant->drainQueue(m_capture->queue);
    CheckDailyReport();
    m_lists->RefreshApplications();
}

void Monitor::CheckDailyReport() {
    const std::optional<LocalTime> now = m_services.clock->now();
    if (!dailyReportDue(m_settings->dailyReports, now, m_dailyDone)) return;
    const std::scoped_lock guard(m_capture->queue.QueueLock);
    WriteDailyReport(*m_lists, m_settings->reportFolder, *now);
    ResetStatistics();
    m_dailyDone = true;
}

void Monitor::ResetStatistics() {
    const std::scoped_lock guard(m_records->RecordsLock);
    m_records->table.clear();
    m_capture->queue.clear();
    m_lists->deleteAllRows();
}

bool Monitor::applyOptions(std::optional<std::uint32_t> newAddress, std::int32_t dailyReports,
                           std::u16string reportFolder) {
    if (newAddress && *newAddress != m_capture->localAddress.load()) {
        stopCapture(*m_capture, *m_captureHandles);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        {
            const std::scoped_lock guard(m_capture->queue.QueueLock);
            ResetStatistics();
        }
        m_capture->localAddress.store(*newAddress);
        m_settings->localAddress = *newAddress;
        m_capture->captureRunning.store(true);
        startCapture();
    }
    m_settings->dailyReports = dailyReports;
    m_settings->reportFolder = std::move(reportFolder);
    return SaveSettings(*m_settings, m_services.settingsFolder);
}

void Monitor::stop() {
    stopCapture(*m_capture, *m_captureHandles);
    m_discovery->stopOwnerDiscovery();
}

bool Monitor::exportHtml(const std::string& path) {
    const std::optional<LocalTime> now = m_services.clock->now();
    return ExportHtmlReport(*m_lists, path, now.value_or(LocalTime{}));
}

bool Monitor::exportCsv(const std::string& path) { return ExportCsvReport(*m_lists, path); }

CaptureStatus Monitor::captureStatus() const {
    CaptureStatus status;
    status.ipv4Address = m_capture->localAddress.load();
    status.capturing = m_capture->captureRunning.load();
    return status;
}

const Settings& Monitor::settings() const { return *m_settings; }

const OwnerLookupService& Monitor::ownerLookup() const { return *m_discovery; }

}  // namespace sondrel
