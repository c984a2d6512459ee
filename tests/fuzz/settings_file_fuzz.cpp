#include <cstddef>
#include <cstdint>
#include <string_view>

#include "config/settings.h"

// Any bytes as the settings file: decoding must end with a defined result, and
// whatever it yields must encode again.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sondrel::Settings settings{1, u"/home/user", 0x0100007F};
    sondrel::decodeSettingsFile(std::string_view(reinterpret_cast<const char*>(data), size), settings);
    if (settings.reportFolder.size() > sondrel::kReportFolderCapacity) __builtin_trap();
    const std::string again = sondrel::encodeSettingsFile(settings);
    sondrel::Settings reread{1, u"", 0};
    sondrel::decodeSettingsFile(again, reread);
    if (reread.dailyReports != settings.dailyReports) __builtin_trap();
    return 0;
}
