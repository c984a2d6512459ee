#include "history/history_batch.h"

#include <algorithm>
#include <map>
#include <unordered_map>

namespace sondrel {

namespace {

bool inRange(HistoryDay day, const HistoryRange& range) { return day >= range.first && day <= range.last; }

template <typename Total>
bool byTotalThen(const Total& a, const Total& b, const std::u16string& keyA, const std::u16string& keyB) {
    const std::uint64_t totalA = a.ulBytes + a.dlBytes;
    const std::uint64_t totalB = b.ulBytes + b.dlBytes;
    if (totalA != totalB) return totalA > totalB;
    return keyA < keyB;
}

}  // namespace

void compactBatches(std::vector<HistoryBatch>& batches) {
    std::map<HistoryDay, std::map<std::u16string, std::map<std::u16string, HistoryEndpointDelta>>> rows;
    for (HistoryBatch& batch : batches) {
        auto& day = rows[batch.day];
        for (HistoryAppDelta& app : batch.applications) {
            auto& endpoints = day[app.application];
            for (HistoryEndpointDelta& endpoint : app.endpoints) {
                HistoryEndpointDelta& row = endpoints[endpoint.remote];
                if (row.remote.empty()) row.remote = endpoint.remote;
                if (!endpoint.hostName.empty()) row.hostName = std::move(endpoint.hostName);
                row.ulBytes += endpoint.ulBytes;
                row.dlBytes += endpoint.dlBytes;
            }
        }
    }
    batches.clear();
    for (auto& [day, apps] : rows) {
        HistoryBatch batch{day, {}};
        for (auto& [name, endpoints] : apps) {
            HistoryAppDelta app{name, {}};
            for (auto& [remote, row] : endpoints) app.endpoints.push_back(std::move(row));
            batch.applications.push_back(std::move(app));
        }
        batches.push_back(std::move(batch));
    }
}

void addPending(const std::vector<HistoryBatch>& batches, const HistoryRange& range,
                std::vector<ApplicationTotal>& totals) {
    std::unordered_map<std::u16string, std::size_t> index;
    for (std::size_t i = 0; i < totals.size(); ++i) index.emplace(totals[i].name, i);
    for (const HistoryBatch& batch : batches) {
        if (!inRange(batch.day, range)) continue;
        for (const HistoryAppDelta& app : batch.applications) {
            const auto [it, added] = index.emplace(app.application, totals.size());
            if (added) totals.push_back(ApplicationTotal{app.application, 0, 0});
            ApplicationTotal& total = totals[it->second];
            for (const HistoryEndpointDelta& endpoint : app.endpoints) {
                total.ulBytes += endpoint.ulBytes;
                total.dlBytes += endpoint.dlBytes;
            }
        }
    }
}

void addPending(const std::vector<HistoryBatch>& batches, const HistoryRange& range,
                const std::u16string& application, std::vector<EndpointTotal>& totals) {
    std::unordered_map<std::u16string, std::size_t> index;
    for (std::size_t i = 0; i < totals.size(); ++i) index.emplace(totals[i].remote, i);
    // Batches are in time order: the host name of the latest one wins, as in the file.
    for (const HistoryBatch& batch : batches) {
        if (!inRange(batch.day, range)) continue;
        for (const HistoryAppDelta& app : batch.applications) {
            if (app.application != application) continue;
            for (const HistoryEndpointDelta& endpoint : app.endpoints) {
                const auto [it, added] = index.emplace(endpoint.remote, totals.size());
                if (added) totals.push_back(EndpointTotal{endpoint.remote, {}, 0, 0});
                EndpointTotal& total = totals[it->second];
                if (!endpoint.hostName.empty()) total.hostName = endpoint.hostName;
                total.ulBytes += endpoint.ulBytes;
                total.dlBytes += endpoint.dlBytes;
            }
        }
    }
}

void addPending(const std::vector<HistoryBatch>& batches, const HistoryRange& range,
                const std::optional<std::u16string>& application, std::vector<DayTotal>& totals) {
    std::unordered_map<HistoryDay, std::size_t> index;
    for (std::size_t i = 0; i < totals.size(); ++i) index.emplace(totals[i].day, i);
    for (const HistoryBatch& batch : batches) {
        if (!inRange(batch.day, range)) continue;
        std::uint64_t ul = 0;
        std::uint64_t dl = 0;
        for (const HistoryAppDelta& app : batch.applications) {
            if (application && app.application != *application) continue;
            for (const HistoryEndpointDelta& endpoint : app.endpoints) {
                ul += endpoint.ulBytes;
                dl += endpoint.dlBytes;
            }
        }
        if (ul == 0 && dl == 0) continue;
        const auto [it, added] = index.emplace(batch.day, totals.size());
        if (added) totals.push_back(DayTotal{batch.day, 0, 0});
        totals[it->second].ulBytes += ul;
        totals[it->second].dlBytes += dl;
    }
}

void sortTotals(std::vector<ApplicationTotal>& totals) {
    std::sort(totals.begin(), totals.end(),
              [](const ApplicationTotal& a, const ApplicationTotal& b) { return byTotalThen(a, b, a.name, b.name); });
}

void sortTotals(std::vector<EndpointTotal>& totals) {
    std::sort(totals.begin(), totals.end(),
              [](const EndpointTotal& a, const EndpointTotal& b) { return byTotalThen(a, b, a.remote, b.remote); });
}

void sortTotals(std::vector<DayTotal>& totals) {
    std::sort(totals.begin(), totals.end(), [](const DayTotal& a, const DayTotal& b) { return a.day < b.day; });
}

}  // namespace sondrel
