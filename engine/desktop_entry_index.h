#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sondrel {

// The keys of a desktop entry's main group that tie it to an executable.
struct DesktopEntry {
    std::string exec;
    std::string tryExec;
    std::string icon;
    bool hidden = false;  // Hidden=true: the entry counts as deleted
};

// Reads the [Desktop Entry] group; other groups, comments and localised keys
// are skipped, the value escapes \s \n \t \r \\ are undone.
//   Exec=firefox-esr %u
DesktopEntry parseDesktopEntry(std::string_view text);

// The program an Exec value runs: its first argument, unquoted, after any
// leading "env" with its NAME=value assignments; empty when there is none.
//   env LANG=C "/opt/My App/bin/app" --new-window %U
std::string execProgram(std::string_view exec);

// Maps executables to the Icon= of the desktop entries that run them. Built
// once from the applications/ folders of the data directories, because
// scanning them for every new row would cost a directory walk per row.
class DesktopEntryIndex {
public:
    // dataDirs in precedence order (an entry id found earlier hides the same id
    // later); pathDirs are searched for Exec values without a slash.
    DesktopEntryIndex(std::vector<std::string> dataDirs, std::vector<std::string> pathDirs);

    // The Icon= value for an executable path: an entry naming this path (or a
    // path that resolves to it), else one naming a program of the same file name.
    std::optional<std::string> iconFor(std::string_view executablePath) const;

    const std::vector<std::string>& dataDirs() const { return m_dataDirs; }
    std::size_t entryCount() const { return m_entryCount; }

private:
    void addProgram(const std::string& program, const std::string& icon);

    std::vector<std::string> m_dataDirs;
    std::vector<std::string> m_pathDirs;
    std::unordered_map<std::string, std::string> m_iconByPath;
    std::unordered_map<std::string, std::string> m_iconByBaseName;
    std::size_t m_entryCount = 0;
};

// The folders of $PATH, in order.
std::vector<std::string> searchPathDirs();

}  // namespace sondrel
