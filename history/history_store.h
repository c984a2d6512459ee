#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/clock.h"
#include "history/history_batch.h"
#include "history/history_view.h"

struct sqlite3;

namespace sondrel {

enum class HistoryWriteError : std::uint8_t {
    None,
    Full,      // the disk (or the file's page limit) is full
    Io,        // the disk failed a read or write
    ReadOnly,  // the file or its folder cannot be written
    Busy,      // another process holds the file
    Other,
};

struct HistoryWriteResult {
    HistoryWriteError error = HistoryWriteError::None;
    std::string text;  // SQLite's own words, for the log
    bool ok() const { return error == HistoryWriteError::None; }
};

struct HistoryStoreOptions {
    // Days older than this are deleted (the day the store is opened on counts as one).
    std::int32_t retentionDays = 400;
    // When the file holds more, the oldest days go until it holds at most 90 % of it.
    std::uint64_t maxFileBytes = std::uint64_t(512) << 20;
};

class HistoryStore;

struct HistoryOpenResult {
    std::unique_ptr<HistoryStore> store;  // empty when no file could be opened at all
    // For the user: that an unreadable file was moved aside, or why there is no history.
    std::u16string message;
    std::string movedTo;  // where an unreadable file went
};

// Per-day, per-application, per-remote byte counts in an SQLite file. One
// thread at a time: the recorder's writer thread owns it and the recorder
// serialises the views that read it.
class HistoryStore final : public HistoryView {
public:
    // Opens or creates the file (its folder too, mode 0700). A file that is
    // not ours or cannot be read is renamed to `<path>.corrupt-YYYYMMDD-HHMMSS`
    // (named after `now`), with its -wal and -shm, and a new one started.
    // Days older than the retention are deleted relative to `today`.
    static HistoryOpenResult open(const std::string& path, HistoryDay today, const LocalTime& now,
                                  const HistoryStoreOptions& options = {});
    // For reading only (`--history`): nothing is created, moved or deleted;
    // null with `whyNot` set when the file is missing or not a history file.
    static std::unique_ptr<HistoryStore> openForReading(const std::string& path, std::string& whyNot);
    ~HistoryStore() override;
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Adds the deltas in one transaction: all of them or none.
    HistoryWriteResult add(const std::vector<HistoryBatch>& batches);
    // Deletes the days the retention leaves behind; once a day is enough.
    HistoryWriteResult applyRetention(HistoryDay today);
    // Bytes of the pages in use (the file less its free pages, before the WAL).
    std::uint64_t usedBytes() const;
    // Caps the file at this many pages (SQLite's max_page_count) for this
    // connection: how a full disk is made on purpose. 0: SQLite's own limit.
    void setPageLimit(std::uint32_t pages);

    std::vector<ApplicationTotal> applications(const HistoryRange& range) const override;
    std::vector<EndpointTotal> endpoints(const HistoryRange& range, const std::u16string& application) const override;
    std::vector<DayTotal> days(const HistoryRange& range,
                               const std::optional<std::u16string>& application = std::nullopt) const override;

    static constexpr std::int32_t kApplicationId = 0x536f6e64;  // "Sond"
    static constexpr std::int32_t kSchemaVersion = 1;

private:
    struct Statements;
    HistoryStore(sqlite3* db, HistoryStoreOptions options);
    HistoryWriteResult writeBatches(const std::vector<HistoryBatch>& batches);
    HistoryWriteResult keepWithinSize();
    HistoryWriteResult dropOrphansAndShrink();
    HistoryWriteResult failure(int code) const;
    std::int64_t applicationId(const std::string& name, int& rc);
    std::int64_t endpointId(std::int64_t application, const std::string& remote, const std::string& hostName, int& rc);

    struct EndpointKey {
        std::int64_t application;
        std::string remote;
        bool operator==(const EndpointKey&) const = default;
    };
    struct EndpointKeyHash {
        std::size_t operator()(const EndpointKey& key) const noexcept {
            return std::hash<std::string>{}(key.remote) * 31 + std::hash<std::int64_t>{}(key.application);
        }
    };
    struct CachedEndpoint {
        std::int64_t id;
        std::string hostName;
    };

    sqlite3* m_db;
    HistoryStoreOptions m_options;
    std::unique_ptr<Statements> m_statements;
    std::unordered_map<std::string, std::int64_t> m_applicationIds;
    std::unordered_map<EndpointKey, CachedEndpoint, EndpointKeyHash> m_endpointIds;
};

// Where the history lives: the headless service's state folder, or the user's
// data folder ($XDG_DATA_HOME when it is absolute, else $HOME/.local/share).
// Empty when neither is known.
std::string defaultHistoryPath(bool service, std::string_view xdgDataHome, std::string_view home);

}  // namespace sondrel
