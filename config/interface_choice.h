#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/capture_set.h"

namespace sondrel {

// A choice wider than one address (a list of interfaces, or all of them)
// lives in a file of its own beside the settings file, which keeps its
// address: a settings folder of a one-address choice holds exactly the files
// it always did, and an older build reading it captures that address.
inline constexpr char kInterfaceChoiceFileName[] = "interfaces";

std::string interfaceChoicePath(const std::string& folder);

// The file's text: "all" or NAME[,NAME...], one line; trailing white space is
// ignored. nullopt for anything else (then the settings file's address holds).
std::optional<CaptureSet> decodeInterfaceChoice(std::string_view bytes);

// The choice in `folder`, if the file is there and reads.
std::optional<CaptureSet> loadInterfaceChoice(const std::string& folder);
// Writes the file for a list or all; removes it for an Address set. False
// when that fails (the settings file is written separately).
bool saveInterfaceChoice(const std::string& folder, const CaptureSet& set);

}  // namespace sondrel
