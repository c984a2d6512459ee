#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "config/interface_choice.h"
#include "config/settings.h"

// Any bytes as the settings file: decoding must end with a defined result, and
// whatever it yields must encode again. The same bytes as the interface file
// beside it: a choice read must read back the same from its own text.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    sondrel::Settings settings{1, u"/home/user", 0x0100007F};
    sondrel::decodeSettingsFile(bytes, settings);
    if (settings.reportFolder.size() > sondrel::kReportFolderCapacity) __builtin_trap();
    const std::string again = sondrel::encodeSettingsFile(settings);
    sondrel::Settings reread{1, u"", 0};
    sondrel::decodeSettingsFile(again, reread);
    if (reread.dailyReports != settings.dailyReports) __builtin_trap();

    if (const std::optional<sondrel::CaptureSet> choice = sondrel::decodeInterfaceChoice(bytes)) {
        if (!choice->followsInterfaces() || choice->names.size() > sondrel::kMaxNamedInterfaces) __builtin_trap();
        if (sondrel::decodeInterfaceChoice(sondrel::interfaceListText(*choice) + "\n") != choice) __builtin_trap();
    }
    return 0;
}
