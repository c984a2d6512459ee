#include "history/history_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>

#include "base/text.h"

namespace sondrel {

namespace {

// A prepared statement, reset after each use so its locks are released.
class Statement {
public:
    Statement() = default;
    Statement(sqlite3* db, const char* sql) {
        sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &m_statement, nullptr);
    }
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    explicit operator bool() const { return m_statement != nullptr; }
    sqlite3_stmt* get() const { return m_statement; }
    void bind(int index, std::int64_t value) { sqlite3_bind_int64(m_statement, index, value); }
    void bind(int index, const std::string& text) {
        sqlite3_bind_text(m_statement, index, text.data(), int(text.size()), SQLITE_TRANSIENT);
    }
    int step() { return m_statement ? sqlite3_step(m_statement) : SQLITE_ERROR; }
    void reset() {
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(m_statement, column); }
    std::string text(int column) const {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, column));
        return bytes ? std::string(bytes, std::size_t(sqlite3_column_bytes(m_statement, column))) : std::string();
    }

private:
    sqlite3_stmt* m_statement = nullptr;
};

// Steps a statement to its end; SQLITE_OK when it got there.
int run(Statement& statement) {
    int rc;
    while ((rc = statement.step()) == SQLITE_ROW) {
    }
    statement.reset();
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

// The single integer or text a pragma answers; empty on an error, `rc` set.
std::optional<std::int64_t> pragmaInteger(sqlite3* db, const char* sql, int& rc) {
    Statement statement(db, sql);
    if (!statement) {
        rc = sqlite3_errcode(db);
        return std::nullopt;
    }
    rc = statement.step();
    if (rc != SQLITE_ROW) return std::nullopt;
    rc = SQLITE_OK;
    return statement.integer(0);
}

std::uint64_t toBytes(std::int64_t value) { return value < 0 ? 0 : std::uint64_t(value); }

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// mkdir -p with 0700 for every folder made: the history says what the user did.
void makeFolders(const std::string& filePath) {
    for (std::size_t slash = filePath.find('/', 1); slash != std::string::npos; slash = filePath.find('/', slash + 1)) {
        ::mkdir(filePath.substr(0, slash).c_str(), 0700);
    }
}

std::string asideName(const std::string& path, const LocalTime& now) {
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, ".corrupt-%04d%02d%02d-%02d%02d%02d", now.year % 10000, now.month % 100,
                  now.day % 100, now.hour % 100, now.minute % 100, now.second % 100);
    std::string aside = path + stamp;
    for (int n = 1; exists(aside) && n < 1000; ++n) aside = path + stamp + "-" + std::to_string(n);
    return aside;
}

// A file that does not begin as SQLite's do is judged before SQLite opens it:
// opening would empty or delete a log beside it, which then could not go
// with it.
bool lacksSqliteHeader(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rbe");
    if (!file) return false;
    char header[16] = {};
    const std::size_t n = std::fread(header, 1, sizeof header, file);
    std::fclose(file);
    const std::string_view magic("SQLite format 3\0", 16);
    return n > 0 && (n < sizeof header || std::string_view(header, sizeof header) != magic);
}

enum class Verdict : std::uint8_t { Ours, Fresh, Unreadable, Failed };

// Failures that say nothing about the file's contents: it is left where it is.
bool aboutTheMachine(int code) {
    switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_NOMEM:
    case SQLITE_READONLY:
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_INTERRUPT:
        return true;
    default:
        return false;
    }
}

struct Check {
    Verdict verdict = Verdict::Failed;
    std::string reason;
};

// What the open file is. Only a file that reads as something else is
// unreadable; a lock or permission problem is a failure that leaves it alone.
Check checkFile(sqlite3* db) {
    int rc = SQLITE_OK;
    const auto unreadable = [](std::string reason) { return Check{Verdict::Unreadable, std::move(reason)}; };
    const auto byCode = [&](int code) {
        if (aboutTheMachine(code)) return Check{Verdict::Failed, sqlite3_errmsg(db)};
        if ((code & 0xff) == SQLITE_NOTADB) return unreadable("not an SQLite database");
        return unreadable(std::string("damaged: ") + sqlite3_errmsg(db));
    };
    const auto applicationId = pragmaInteger(db, "PRAGMA application_id", rc);
    if (!applicationId) return byCode(rc);
    const auto version = pragmaInteger(db, "PRAGMA user_version", rc);
    if (!version) return byCode(rc);
    const auto tables = pragmaInteger(db, "SELECT count(*) FROM sqlite_schema", rc);
    if (!tables) return byCode(rc);
    if (*applicationId == 0 && *version == 0 && *tables == 0) return {Verdict::Fresh, {}};
    if (*applicationId != HistoryStore::kApplicationId) return unreadable("another program's database");
    if (*version > HistoryStore::kSchemaVersion) return unreadable("written by a newer version of Sondrel");
    Statement quickCheck(db, "PRAGMA quick_check");
    if (!quickCheck) return byCode(sqlite3_errcode(db));
    rc = quickCheck.step();
    if (rc != SQLITE_ROW) return byCode(rc);
    if (quickCheck.text(0) != "ok") return unreadable("damaged");
    return {*version < HistoryStore::kSchemaVersion ? Verdict::Fresh : Verdict::Ours, {}};
}

// auto_vacuum must be chosen before the file is first written (switching to
// WAL writes it); incremental, so
// that pages freed by the retention go back to the file system in place,
// without VACUUM's copy of the whole file, which needs its size again in free
// space just when the disk may be short of it.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS applications(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);"
    "CREATE TABLE IF NOT EXISTS endpoints(id INTEGER PRIMARY KEY, application_id INTEGER NOT NULL,"
    " remote TEXT NOT NULL, host_name TEXT NOT NULL DEFAULT '', UNIQUE(application_id, remote));"
    "CREATE TABLE IF NOT EXISTS traffic(day INTEGER NOT NULL, endpoint_id INTEGER NOT NULL,"
    " ul INTEGER NOT NULL, dl INTEGER NOT NULL, PRIMARY KEY(day, endpoint_id)) WITHOUT ROWID;";

int setUp(sqlite3* db, bool fresh) {
    int rc = fresh ? exec(db, "PRAGMA auto_vacuum=INCREMENTAL") : SQLITE_OK;
    if (rc == SQLITE_OK) rc = exec(db, "PRAGMA journal_mode=WAL");
    if (rc == SQLITE_OK) rc = exec(db, "PRAGMA synchronous=NORMAL");
    if (rc == SQLITE_OK && fresh) rc = exec(db, kSchema);
    if (rc == SQLITE_OK && fresh) {
        const std::string ids = "PRAGMA application_id=" + std::to_string(HistoryStore::kApplicationId) +
                                ";PRAGMA user_version=" + std::to_string(HistoryStore::kSchemaVersion);
        rc = exec(db, ids.c_str());
    }
    return rc;
}

sqlite3* openFile(const std::string& path, int& rc) {
    sqlite3* db = nullptr;
    rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (db) {
        sqlite3_busy_timeout(db, 2000);
        sqlite3_extended_result_codes(db, 1);
    }
    return db;
}

}  // namespace

struct HistoryStore::Statements {
    explicit Statements(sqlite3* db)
        : begin(db, "BEGIN IMMEDIATE"),
          commit(db, "COMMIT"),
          rollback(db, "ROLLBACK"),
          application(db,
                      "INSERT INTO applications(name) VALUES(?1) ON CONFLICT(name) DO UPDATE SET name = excluded.name "
                      "RETURNING id"),
          endpoint(db,
                   "INSERT INTO endpoints(application_id, remote, host_name) VALUES(?1, ?2, ?3) "
                   "ON CONFLICT(application_id, remote) DO UPDATE SET host_name = CASE WHEN excluded.host_name <> '' "
                   "THEN excluded.host_name ELSE endpoints.host_name END RETURNING id, host_name"),
          hostName(db, "UPDATE endpoints SET host_name = ?2 WHERE id = ?1"),
          traffic(db,
                  "INSERT INTO traffic(day, endpoint_id, ul, dl) VALUES(?1, ?2, ?3, ?4) ON CONFLICT(day, endpoint_id) "
                  "DO UPDATE SET ul = ul + excluded.ul, dl = dl + excluded.dl"),
          applications(db,
                       "SELECT a.name, SUM(t.ul), SUM(t.dl) FROM traffic t JOIN endpoints e ON e.id = t.endpoint_id "
                       "JOIN applications a ON a.id = e.application_id WHERE t.day BETWEEN ?1 AND ?2 GROUP BY a.id"),
          endpoints(db,
                    "SELECT e.remote, e.host_name, SUM(t.ul), SUM(t.dl) FROM applications a "
                    "JOIN endpoints e ON e.application_id = a.id JOIN traffic t ON t.endpoint_id = e.id "
                    "WHERE a.name = ?3 AND t.day BETWEEN ?1 AND ?2 GROUP BY e.id"),
          days(db,
               "SELECT t.day, SUM(t.ul), SUM(t.dl) FROM traffic t WHERE t.day BETWEEN ?1 AND ?2 "
               "GROUP BY t.day HAVING SUM(t.ul) + SUM(t.dl) > 0 ORDER BY t.day"),
          applicationDays(db,
                          "SELECT t.day, SUM(t.ul), SUM(t.dl) FROM applications a "
                          "JOIN endpoints e ON e.application_id = a.id JOIN traffic t ON t.endpoint_id = e.id "
                          "WHERE a.name = ?3 AND t.day BETWEEN ?1 AND ?2 "
                          "GROUP BY t.day HAVING SUM(t.ul) + SUM(t.dl) > 0 ORDER BY t.day"),
          deleteBefore(db, "DELETE FROM traffic WHERE day < ?1"),
          oldestDay(db, "SELECT MIN(day), MAX(day) FROM traffic"),
          deleteDay(db, "DELETE FROM traffic WHERE day = ?1") {}

    bool prepared() const {
        for (const Statement* statement : {&begin, &commit, &rollback, &application, &endpoint, &hostName, &traffic,
                                           &applications, &endpoints, &days, &applicationDays, &deleteBefore,
                                           &oldestDay, &deleteDay}) {
            if (!*statement) return false;
        }
        return true;
    }

    Statement begin, commit, rollback;
    Statement application, endpoint, hostName, traffic;
    Statement applications, endpoints, days, applicationDays;
    Statement deleteBefore, oldestDay, deleteDay;
};

HistoryOpenResult HistoryStore::open(const std::string& path, HistoryDay today, const LocalTime& now,
                                     const HistoryStoreOptions& options) {
    HistoryOpenResult result;
    const std::u16string shownPath = utf8ToU16(path);
    const auto cannotOpen = [&](const std::string& why) {
        result.store.reset();
        // After a move aside, the user hears of both.
        if (!result.message.empty()) result.message += u" ";
        result.message += u"The history file " + shownPath + u" could not be opened: " + utf8ToU16(why) +
                          u". Traffic is counted but not kept beyond this run.";
        return std::move(result);
    };
    makeFolders(path);
    // A second round only after the unreadable file was moved aside.
    for (int round = 0; round < 2; ++round) {
        int rc = SQLITE_OK;
        sqlite3* db = nullptr;
        Check check{Verdict::Unreadable, "not an SQLite database"};
        if (round > 0 || !lacksSqliteHeader(path)) {
            db = openFile(path, rc);
            check = rc == SQLITE_OK ? checkFile(db) : Check{Verdict::Failed, sqlite3_errstr(rc)};
        }
        if (check.verdict == Verdict::Ours || check.verdict == Verdict::Fresh) {
            rc = setUp(db, check.verdict == Verdict::Fresh);
            if (rc != SQLITE_OK) {
                check = {aboutTheMachine(rc) ? Verdict::Failed : Verdict::Unreadable, sqlite3_errmsg(db)};
            } else {
                result.store.reset(new HistoryStore(db, options));
                db = nullptr;
                if (result.store->m_statements->prepared()) {
                    result.store->applyRetention(today);
                    return result;
                }
                result.store.reset();
                check = {Verdict::Unreadable, "not laid out as a history file"};
            }
        }
        if (db) sqlite3_close(db);
        if (check.verdict != Verdict::Unreadable || round > 0) return cannotOpen(check.reason);
        const std::string aside = asideName(path, now);
        if (::rename(path.c_str(), aside.c_str()) != 0) return cannotOpen(check.reason + ", and it cannot be moved aside");
        for (const char* suffix : {"-wal", "-shm"}) {
            if (exists(path + suffix)) ::rename((path + suffix).c_str(), (aside + suffix).c_str());
        }
        result.movedTo = aside;
        result.message = u"The history file " + shownPath + u" could not be read (" + utf8ToU16(check.reason) +
                         u"); it was moved to " + utf8ToU16(aside) + u" and a new one started.";
    }
    return cannotOpen("unreadable");
}

namespace {

// A file name as an SQLite URI's path: only what a URI gives a meaning to is escaped.
std::string uriPath(const std::string& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            out += '%';
            out += kHex[(static_cast<unsigned char>(c) >> 4) & 0xF];
            out += kHex[static_cast<unsigned char>(c) & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::unique_ptr<HistoryStore> HistoryStore::openForReading(const std::string& path, std::string& whyNot) {
    if (!exists(path)) {
        whyNot = "there is no history file " + path;
        return nullptr;
    }
    if (lacksSqliteHeader(path)) {
        whyNot = "the history file " + path + " is not an SQLite database";
        return nullptr;
    }
    // Without a -shm file no program writes it now: opened immutable, the
    // reader makes no -shm of its own, which a reader of another user (root
    // reading the service's file) would leave behind, owned by itself.
    const bool inUse = exists(path + "-shm");
    const std::string uri = "file:" + uriPath(path) + (inUse ? "?mode=ro" : "?mode=ro&immutable=1");
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        whyNot = "the history file " + path + " cannot be opened: " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        if (db) sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 2000);
    const Check check = checkFile(db);
    if (check.verdict != Verdict::Ours) {
        whyNot = "the history file " + path + " cannot be read: " +
                 (check.verdict == Verdict::Fresh ? std::string("it is empty") : check.reason);
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<HistoryStore> store(new HistoryStore(db, {}));
    if (!store->m_statements->prepared()) {
        whyNot = "the history file " + path + " is not laid out as a history file";
        return nullptr;
    }
    return store;
}

HistoryStore::HistoryStore(sqlite3* db, HistoryStoreOptions options)
    : m_db(db), m_options(options), m_statements(std::make_unique<Statements>(db)) {}

HistoryStore::~HistoryStore() {
    m_statements.reset();
    sqlite3_close(m_db);
}

HistoryWriteResult HistoryStore::failure(int code) const {
    HistoryWriteResult result;
    switch (code & 0xff) {
    case SQLITE_OK:
    case SQLITE_DONE:
        return result;
    case SQLITE_FULL:
        result.error = HistoryWriteError::Full;
        break;
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
        result.error = HistoryWriteError::Io;
        break;
    case SQLITE_READONLY:
    case SQLITE_PERM:
        result.error = HistoryWriteError::ReadOnly;
        break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        result.error = HistoryWriteError::Busy;
        break;
    default:
        result.error = HistoryWriteError::Other;
    }
    result.text = sqlite3_errstr(code);
    return result;
}

std::int64_t HistoryStore::applicationId(const std::string& name, int& rc) {
    if (const auto it = m_applicationIds.find(name); it != m_applicationIds.end()) return it->second;
    Statement& statement = m_statements->application;
    statement.bind(1, name);
    rc = statement.step();
    const std::int64_t id = rc == SQLITE_ROW ? statement.integer(0) : 0;
    if (rc == SQLITE_ROW) rc = run(statement);
    else statement.reset();
    if (rc == SQLITE_OK) m_applicationIds.emplace(name, id);
    return id;
}

std::int64_t HistoryStore::endpointId(std::int64_t application, const std::string& remote,
                                      const std::string& hostName, int& rc) {
    EndpointKey key{application, remote};
    if (const auto it = m_endpointIds.find(key); it != m_endpointIds.end()) {
        if (!hostName.empty() && hostName != it->second.hostName) {
            Statement& update = m_statements->hostName;
            update.bind(1, it->second.id);
            update.bind(2, hostName);
            rc = run(update);
            if (rc == SQLITE_OK) it->second.hostName = hostName;
        }
        return it->second.id;
    }
    Statement& statement = m_statements->endpoint;
    statement.bind(1, application);
    statement.bind(2, remote);
    statement.bind(3, hostName);
    rc = statement.step();
    CachedEndpoint cached{0, {}};
    if (rc == SQLITE_ROW) {
        cached = {statement.integer(0), statement.text(1)};
        rc = run(statement);
    } else {
        statement.reset();
    }
    if (rc == SQLITE_OK) m_endpointIds.emplace(std::move(key), cached);
    return cached.id;
}

HistoryWriteResult HistoryStore::writeBatches(const std::vector<HistoryBatch>& batches) {
    int rc = SQLITE_OK;
    std::string name;
    std::string remote;
    std::string hostName;
    for (const HistoryBatch& batch : batches) {
        for (const HistoryAppDelta& app : batch.applications) {
            name = u16ToUtf8(app.application);
            const std::int64_t appId = applicationId(name, rc);
            if (rc != SQLITE_OK) return failure(rc);
            for (const HistoryEndpointDelta& endpoint : app.endpoints) {
                if (endpoint.ulBytes == 0 && endpoint.dlBytes == 0 && endpoint.hostName.empty()) continue;
                remote = u16ToUtf8(endpoint.remote);
                hostName = u16ToUtf8(endpoint.hostName);
                const std::int64_t id = endpointId(appId, remote, hostName, rc);
                if (rc != SQLITE_OK) return failure(rc);
                Statement& traffic = m_statements->traffic;
                traffic.bind(1, batch.day);
                traffic.bind(2, id);
                traffic.bind(3, std::int64_t(endpoint.ulBytes));
                traffic.bind(4, std::int64_t(endpoint.dlBytes));
                rc = run(traffic);
                if (rc != SQLITE_OK) return failure(rc);
            }
        }
    }
    return {};
}

HistoryWriteResult HistoryStore::add(const std::vector<HistoryBatch>& batches) {
    if (!m_statements->traffic) return failure(sqlite3_errcode(m_db));
    int rc = run(m_statements->begin);
    if (rc != SQLITE_OK) return failure(rc);
    HistoryWriteResult result = writeBatches(batches);
    if (result.ok()) {
        rc = run(m_statements->commit);
        if (rc != SQLITE_OK) result = failure(rc);
    }
    if (!result.ok()) {
        // Ids made inside the transaction went with it.
        if (!sqlite3_get_autocommit(m_db)) run(m_statements->rollback);
        m_applicationIds.clear();
        m_endpointIds.clear();
        return result;
    }
    return keepWithinSize();
}

std::uint64_t HistoryStore::usedBytes() const {
    int rc = SQLITE_OK;
    const auto pages = pragmaInteger(m_db, "PRAGMA page_count", rc);
    const auto free = pragmaInteger(m_db, "PRAGMA freelist_count", rc);
    const auto size = pragmaInteger(m_db, "PRAGMA page_size", rc);
    if (!pages || !free || !size) return 0;
    return toBytes(*pages - *free) * toBytes(*size);
}

void HistoryStore::setPageLimit(std::uint32_t pages) {
    const std::string sql = "PRAGMA max_page_count=" + std::to_string(pages == 0 ? 0xfffffffeu : pages);
    int rc = SQLITE_OK;
    pragmaInteger(m_db, sql.c_str(), rc);
}

HistoryWriteResult HistoryStore::keepWithinSize() {
    if (usedBytes() <= m_options.maxFileBytes) return {};
    const std::uint64_t target = m_options.maxFileBytes / 10 * 9;
    int rc = run(m_statements->begin);
    while (rc == SQLITE_OK && usedBytes() > target) {
        Statement& range = m_statements->oldestDay;
        if (range.step() != SQLITE_ROW) break;
        const std::int64_t oldest = range.integer(0);
        const std::int64_t newest = range.integer(1);
        range.reset();
        // The day being counted stays whatever its size: it is what the user looks at.
        if (oldest >= newest) break;
        m_statements->deleteDay.bind(1, oldest);
        rc = run(m_statements->deleteDay);
    }
    if (rc == SQLITE_OK) rc = run(m_statements->commit);
    if (rc != SQLITE_OK) {
        if (!sqlite3_get_autocommit(m_db)) run(m_statements->rollback);
        return failure(rc);
    }
    return dropOrphansAndShrink();
}

HistoryWriteResult HistoryStore::applyRetention(HistoryDay today) {
    m_statements->deleteBefore.bind(1, std::int64_t(today) - m_options.retentionDays + 1);
    const int rc = run(m_statements->deleteBefore);
    if (rc != SQLITE_OK) return failure(rc);
    return sqlite3_changes(m_db) > 0 ? dropOrphansAndShrink() : HistoryWriteResult{};
}

HistoryWriteResult HistoryStore::dropOrphansAndShrink() {
    int rc = exec(m_db,
                  "BEGIN IMMEDIATE;"
                  "DELETE FROM endpoints WHERE id NOT IN (SELECT endpoint_id FROM traffic);"
                  "DELETE FROM applications WHERE id NOT IN (SELECT application_id FROM endpoints);"
                  "COMMIT");
    if (rc != SQLITE_OK && !sqlite3_get_autocommit(m_db)) exec(m_db, "ROLLBACK");
    m_applicationIds.clear();
    m_endpointIds.clear();
    if (rc != SQLITE_OK) return failure(rc);
    // The WAL is checkpointed so the file itself shrinks now, not at some later checkpoint.
    rc = exec(m_db, "PRAGMA incremental_vacuum; PRAGMA wal_checkpoint(TRUNCATE)");
    return failure(rc);
}

std::vector<ApplicationTotal> HistoryStore::applications(const HistoryRange& range) const {
    std::vector<ApplicationTotal> totals;
    Statement& statement = m_statements->applications;
    statement.bind(1, range.first);
    statement.bind(2, range.last);
    while (statement.step() == SQLITE_ROW) {
        totals.push_back({utf8ToU16(statement.text(0)), toBytes(statement.integer(1)), toBytes(statement.integer(2))});
    }
    statement.reset();
    sortTotals(totals);
    return totals;
}

std::vector<EndpointTotal> HistoryStore::endpoints(const HistoryRange& range, const std::u16string& application) const {
    std::vector<EndpointTotal> totals;
    Statement& statement = m_statements->endpoints;
    statement.bind(1, range.first);
    statement.bind(2, range.last);
    statement.bind(3, u16ToUtf8(application));
    while (statement.step() == SQLITE_ROW) {
        totals.push_back({utf8ToU16(statement.text(0)), utf8ToU16(statement.text(1)), toBytes(statement.integer(2)),
                          toBytes(statement.integer(3))});
    }
    statement.reset();
    sortTotals(totals);
    return totals;
}

std::vector<DayTotal> HistoryStore::days(const HistoryRange& range, const std::optional<std::u16string>& application) const {
    std::vector<DayTotal> totals;
    Statement& statement = application ? m_statements->applicationDays : m_statements->days;
    statement.bind(1, range.first);
    statement.bind(2, range.last);
    if (application) statement.bind(3, u16ToUtf8(*application));
    while (statement.step() == SQLITE_ROW) {
        totals.push_back({HistoryDay(statement.integer(0)), toBytes(statement.integer(1)), toBytes(statement.integer(2))});
    }
    statement.reset();
    return totals;
}

std::string defaultHistoryPath(bool service, std::string_view xdgDataHome, std::string_view home) {
    if (service) return "/var/lib/sondrel/history.sqlite";
    if (!xdgDataHome.empty() && xdgDataHome.front() == '/') return std::string(xdgDataHome) + "/sondrel/history.sqlite";
    if (home.empty()) return {};
    return std::string(home) + "/.local/share/sondrel/history.sqlite";
}

}  // namespace sondrel
