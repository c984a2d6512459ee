#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "history/history_store.h"

// Any bytes as the history file: opening ends with a store, the file read or
// moved aside, never a crash; the store then takes a write and reads it back.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "sondrel-history-fuzz-XXXXXX").string();
        return std::string(::mkdtemp(pattern.data()));
    }();
    const std::string path = folder + "/history.sqlite";
    std::error_code ignored;
    std::vector<std::filesystem::path> left;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) left.push_back(entry.path());
    for (const auto& file : left) std::filesystem::remove(file, ignored);
    if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    const sondrel::HistoryDay today = sondrel::historyDayOf(2027, 1, 31);
    auto opened = sondrel::HistoryStore::open(path, today, sondrel::LocalTime{2027, 1, 31, 12, 0, 0});
    if (!opened.store) __builtin_trap();
    if (!opened.movedTo.empty() && !std::filesystem::exists(opened.movedTo)) __builtin_trap();
    const sondrel::HistoryRange all{today - 500, today};
    opened.store->applications(all);
    opened.store->days(all);
    const sondrel::HistoryBatch batch{today, {{u"app", {{u"192.0.2.1", u"host", 3, 4}}}}};
    if (opened.store->add({batch}).ok()) {
        for (const sondrel::EndpointTotal& endpoint : opened.store->endpoints({today, today}, u"app")) {
            if (endpoint.remote == u"192.0.2.1" && endpoint.ulBytes < 3) __builtin_trap();
        }
    }
    return 0;
}
