#include "metrics/metrics_snapshot.h"

#include <mutex>

#include <algorithm>

#include "base/text.h"
#include "engine/records.h"

namespace sondrel {

MetricsSnapshot takeMetricsSnapshot(RecordsState& records, CaptureStatus capture) {
    MetricsSnapshot snapshot;
    snapshot.capture = std::move(capture);
    const std::scoped_lock guard(records.RecordsLock);
    snapshot.generation = records.table.generation();
    snapshot.applications.reserve(records.table.size());
    for (const AppRecord& app : records.table.records()) {
        snapshot.applications.push_back({app.name, app.ulBytes, app.dlBytes});
    }
    for (const InterfaceBytes& bytes : records.interfaceBytes) {
        // Index 0: a capture that could not tell, which is the one device captured.
        const auto name = records.interfaceNames.find(bytes.index);
        std::string label = bytes.index == 0 ? u16ToUtf8(snapshot.capture.interfaceName)
                            : name != records.interfaceNames.end() ? u16ToUtf8(name->second)
                                                                    : "#" + std::to_string(bytes.index);
        snapshot.devices.push_back({std::move(label), bytes.ulBytes, bytes.dlBytes});
    }
    std::vector<std::u16string> captured = snapshot.capture.interfaceNames;
    if (snapshot.capture.set == CaptureSet::Kind::Address && !snapshot.capture.interfaceName.empty())
        captured = {snapshot.capture.interfaceName};
    // Interfaces captured without a byte yet still have their series.
    for (const std::u16string& name : captured) {
        const std::string utf8 = u16ToUtf8(name);
        if (std::none_of(snapshot.devices.begin(), snapshot.devices.end(),
                         [&](const DeviceCounters& device) { return device.name == utf8; }))
            snapshot.devices.push_back({utf8, 0, 0});
    }
    return snapshot;
}

}  // namespace sondrel
