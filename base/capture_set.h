#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sondrel {

// What is captured: the interface that carries one IPv4 address (the
// settings file's own choice), interfaces named in a list, or every interface
// that is up. A list and "all" follow interfaces as they come and go.
struct CaptureSet {
    enum class Kind : std::uint8_t { Address = 0, Names = 1, All = 2 };
    Kind kind = Kind::Address;
    std::uint32_t address = 0;       // network order; for Address
    std::vector<std::string> names;  // for Names: distinct, in the order given

    static CaptureSet ofAddress(std::uint32_t address) { return {Kind::Address, address, {}}; }
    static CaptureSet all() { return {Kind::All, 0, {}}; }
    bool followsInterfaces() const { return kind != Kind::Address; }
    bool operator==(const CaptureSet&) const = default;
};

// Longest interface name the kernel takes (IFNAMSIZ less its NUL).
inline constexpr std::size_t kMaxInterfaceNameBytes = 15;
// More interfaces than anyone names in one list.
inline constexpr std::size_t kMaxNamedInterfaces = 64;

// A name the kernel could give an interface: 1 to 15 bytes, none of them a
// control character, white space, '/', ':' or ','; not "." or "..".
bool validInterfaceName(std::string_view name);

// "all", or NAME[,NAME...] (each valid, duplicates dropped, at most
// kMaxNamedInterfaces); nullopt for anything else. What --interfaces takes
// and what the settings keep.
std::optional<CaptureSet> parseInterfaceList(std::string_view text);
// The text parseInterfaceList reads back: "all" or the names joined by ",".
// An Address set has no such text (empty).
std::string interfaceListText(const CaptureSet& set);

// Whether the set captures the interface of this name.
bool capturesInterface(const CaptureSet& set, std::string_view name);

}  // namespace sondrel
