#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sondrel {

// A limit on the bytes (UL + DL) of a calendar day or month, for all
// applications together or for one of them.
struct DataCap {
    enum class Period : std::uint8_t { Day, Month };
    Period period = Period::Month;
    std::u16string application;  // empty: all applications together
    std::uint64_t limitBytes = 0;
    bool operator==(const DataCap&) const = default;
};

// The caps live in their own file beside the settings file ("data-caps"),
// so the settings file stays as it always was. A missing file is no caps;
// a line that cannot be read is skipped and the rest kept.
std::vector<DataCap> loadDataCaps(const std::string& settingsFolder);
// False when the file could not be written (the old one is then kept whole).
bool saveDataCaps(const std::string& settingsFolder, const std::vector<DataCap>& caps);

// The file's text, one cap a line:
//   month 50000000000
//   day 1000000000 /usr/bin/firefox
std::vector<DataCap> decodeDataCaps(std::string_view text);
// Empty when a cap cannot be written as a line (a limit of 0, or a line break in its name).
std::optional<std::string> encodeDataCaps(const std::vector<DataCap>& caps);

}  // namespace sondrel
