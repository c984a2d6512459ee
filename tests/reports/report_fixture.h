#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <string_view>
#include <string>
#include <vector>

#include "engine/main_lists.h"
#include "engine/records.h"
#include "base/text.h"

namespace sondrel::testing {

struct EndpointSpec {
    std::u16string protocolTag;  // "TCP:", "UDP:" or "-"
    std::uint16_t localPort = 0;
    std::uint16_t remotePort = 0;
    std::uint64_t ulBytes = 0;
    std::uint64_t dlBytes = 0;
    std::u16string remoteIpText;
    std::u16string remoteHostName;
};

struct AppSpec {
    std::u16string name;
    std::uint64_t ulBytes = 0;
    std::uint64_t dlBytes = 0;
    std::vector<EndpointSpec> endpoints;  // in order of first appearance
};

// Records filled as the accounting would leave them, and the lists refreshed
// from them once, as the tick does. Like the real list, the application
// recorded last stands at the top, and within an application the newest
// endpoint comes first.
class ListsWithRecords {
public:
    explicit ListsWithRecords(const std::vector<AppSpec>& apps)
        : m_records(std::make_shared<RecordsState>()), m_lists(m_records) {
        std::uint32_t nextAddress = 1;
        for (const AppSpec& given : apps) {
            const std::size_t index = m_records->table.appendApp(given.name);
            AppRecord& app = m_records->table.app(index);
            app.ulBytes = given.ulBytes;
            app.dlBytes = given.dlBytes;
            for (const EndpointSpec& e : given.endpoints) {
                EndpointRecord endpoint;
                endpoint.protocolTag = e.protocolTag;
                endpoint.localPort = e.localPort;
                endpoint.remotePort = e.remotePort;
                endpoint.ulBytes = e.ulBytes;
                endpoint.dlBytes = e.dlBytes;
                endpoint.remoteIpText = e.remoteIpText;
                endpoint.remoteHostName = e.remoteHostName;
                endpoint.remoteIp = nextAddress++;
                m_records->table.appendEndpoint(index, std::move(endpoint));
            }
        }
        m_lists.RefreshApplications();
    }

    MainLists& lists() { return m_lists; }

private:
    std::shared_ptr<RecordsState> m_records;
    MainLists m_lists;
};

// A fresh directory under the test temp folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "sondrel-reports-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return (m_path / name).string(); }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string u8(std::u16string_view text) { return u16ToUtf8(text); }

// Table rows print as their name in failure messages, not as a byte dump.
template <typename Row>
    requires requires(const Row& row) { std::string_view(row.name); }
void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

}  // namespace sondrel::testing
