#include <cstddef>
#include <cstdint>
#include <string_view>

#include "reports/stale_temporaries.h"

// A directory entry's name, whatever its bytes: a name taken for a temporary
// file of ours has exactly its shape.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view name(reinterpret_cast<const char*>(data), size);
    if (!sondrel::isDailyReportTemporaryName(name)) return 0;
    if (name.size() < 19 || name.front() != '.' || name.substr(name.size() - 11, 5) != ".csv.") __builtin_trap();
    return 0;
}
