#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>

#include "base/text.h"
#include "engine/records.h"
#include "history/history_store.h"

namespace sondrel::testing {

// A folder of its own per test, removed afterwards.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "sondrel-history-XXXXXX").string();
        m_path = ::mkdtemp(pattern.data());
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

inline const LocalTime kOpenedAt{2027, 1, 31, 12, 0, 5};

inline HistoryOpenResult openStore(const std::string& path, HistoryStoreOptions options = {}) {
    return HistoryStore::open(path, historyDayOf(2027, 1, 31), kOpenedAt, options);
}

// Counts bytes on (application, remote) as the accounting does: rows made on first use.
inline void count(RecordsState& records, const std::u16string& app, std::uint32_t remoteIndex, std::uint64_t ul,
                  std::uint64_t dl, const std::u16string& hostName = {}) {
    const std::scoped_lock guard(records.RecordsLock);
    AppTable& table = records.table;
    std::size_t a = table.findApp(app);
    if (a == AppTable::npos) a = table.appendApp(app);
    const std::uint32_t ip = htonl(0x0A000000u + remoteIndex);
    std::size_t e = table.findEndpoint(a, 1000, ip);
    if (e == AppTable::npos) {
        table.appendEndpoint(a, EndpointRecord{1000, 443, 0, 0, FormatIPv4(ip), {}, ip, u"TCP:", {}, false});
        e = table.app(a).endpoints.size() - 1;
    }
    EndpointRecord& row = table.app(a).endpoints[e];
    row.ulBytes += ul;
    row.dlBytes += dl;
    table.app(a).ulBytes += ul;
    table.app(a).dlBytes += dl;
    if (!hostName.empty()) row.remoteHostName = hostName;
}

}  // namespace sondrel::testing
