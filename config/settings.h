#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace sondrel {

class Notifier;

// The three values kept between runs, in the order the settings file holds them.
struct Settings {
    std::int32_t dailyReports = 1;  // on when non-zero
    std::u16string reportFolder;
    std::uint32_t localAddress = 0;  // network order, as in a packet
};

// The longest report folder kept, in UTF-16 code units: well above the longest
// path a folder browser returns. Longer text, from the file or typed in the
// Options dialog, is cut to this length (never inside a surrogate pair).
inline constexpr std::size_t kReportFolderCapacity = 4096;

// Anything beyond this many bytes of the settings file is not read: the file
// is then read as if it ended there.
inline constexpr std::size_t kSettingsFileReadLimit = 1 << 20;

inline constexpr char kSettingsFileName[] = "conf01.dat";
inline constexpr char16_t kSaveSettingsFailedText[] = u"Can't save configuration to a file!";
inline constexpr char16_t kSaveSettingsFailedCaption[] = u"Error";

// Exchanges every space with "#" and every "#" with a space, so the folder is a
// single token in the file; applying it twice restores the text.
void SwapSpaceHash(std::u16string& text);

// The file's bytes: the flag, a space, the folder with spaces and "#" swapped,
// a space, the address number. Code page 1251; numbers grouped by three digits
// from the right with the byte 0xA0; nothing after the last digit. A folder
// character without a 1251 form is written as "?" and the address still
// follows; the folder ends at its first NUL, as a C string would, and is cut to
// kReportFolderCapacity. An LF inside the folder reaches the file as CR LF.
//   1 C:\My#Reports 167\xA0880\xA0896
std::string encodeSettingsFile(const Settings& settings);

// Reads the file's bytes over `inOut`, which holds the defaults, with the
// outcome of a stream read:
// - white space is space, tab, CR, LF, VT and FF; the byte 0xA0 is not white
//   space (it separates digit groups inside numbers and is an ordinary
//   character of the folder);
// - a number is an optional sign and digits, a single 0xA0 allowed between two
//   digits (group sizes are not checked); the flag must fit a signed 32-bit
//   value, the address 0..4294967295 with "+" allowed and "-" refused;
// - no flag number: flag and address keep their defaults, the folder becomes
//   empty; the file ends right after the flag: the folder becomes empty;
// - the folder is the next run of non-white-space characters; its text ends at
//   a NUL inside it, and the run ending the file leaves the address at its
//   default; a run longer than kReportFolderCapacity is cut, the address after
//   it is still read;
// - no address number: the address keeps its default; text right after the
//   address's digits is ignored.
// Returns whether the address was read.
//   1 C:\My#Reports 167\xA0880\xA0896
bool decodeSettingsFile(std::string_view bytes, Settings& inOut);

// Process environment as the settings code sees it; tests supply their own.
struct Environment {
    std::function<std::optional<std::string>(const char* name)> variable;
    std::function<std::optional<std::string>()> passwordHome;  // home from the user database
};
Environment processEnvironment();

// $HOME when set and not empty, else the user database's home, else "/".
std::string HomeDirectory(const Environment& env);

// $XDG_CONFIG_HOME/Sondrelix, or <home>/.config/Sondrelix when XDG_CONFIG_HOME is
// unset, empty or not an absolute path (relative values are ignored, as the
// XDG base directory rules ask).
std::string SettingsFolder(const Environment& env);
std::string SettingsFolder();

std::string SettingsFilePath(const std::string& folder);

// The first kSettingsFileReadLimit bytes of a regular file that can be
// opened without blocking; nullopt otherwise.
std::optional<std::string> readSettingsFileBytes(const std::string& path);

// Values in effect before the file is read.
struct SettingsDefaults {
    std::u16string reportFolder;
    std::uint32_t localAddress = 0;
};
// The default report folder: the home directory, as UTF-16.
std::u16string defaultReportFolder();
// The home directory and the default capture address of this host (which may
// wait for DNS).
SettingsDefaults liveSettingsDefaults();

// Sets the defaults, creates `folder` with its parents (a failure is ignored)
// and reads the settings file in it when it is a regular file that can be
// opened; otherwise the defaults stay, without a message. Returns whether the
// file supplied a capture address; a stored 0, which no interface carries,
// counts as none, so the caller knows when the default address is needed.
bool LoadSettings(Settings& settings, const std::string& folder, const SettingsDefaults& defaults);
// Start-up form: SettingsFolder() and liveSettingsDefaults().
void LoadSettings(Settings& settings);

// Writes the settings file in `folder` (which is not created here), truncating
// it. False when the file cannot be opened for writing or when a write or the
// close fails (a full disk): the file may then hold part of the line.
bool SaveSettings(const Settings& settings, const std::string& folder);
// Same, and shows kSaveSettingsFailedText / kSaveSettingsFailedCaption when it fails.
bool SaveSettings(const Settings& settings, const std::string& folder, Notifier& notifier);

}  // namespace sondrel
