#include "engine/desktop_entry_index.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

namespace sondrel {

namespace {

namespace fs = std::filesystem;

// Entries are a few kilobytes; anything much larger is not a desktop entry.
constexpr std::size_t kEntryReadLimit = 256 * 1024;

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::string unescapeValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        switch (value[++i]) {
        case 's': out += ' '; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case '\\': out += '\\'; break;
        default:
            out += '\\';
            out += value[i];
        }
    }
    return out;
}

std::string baseName(std::string_view path) {
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// Splits off the next argument of an Exec value; `rest` moves past it.
std::optional<std::string> nextArgument(std::string_view& rest) {
    const auto start = rest.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        rest = {};
        return std::nullopt;
    }
    rest.remove_prefix(start);
    std::string argument;
    if (rest.front() == '"') {
        std::size_t i = 1;
        for (; i < rest.size() && rest[i] != '"'; ++i) {
            if (rest[i] == '\\' && i + 1 < rest.size()) ++i;
            argument += rest[i];
        }
        rest.remove_prefix(std::min(i + 1, rest.size()));
        return argument;
    }
    const auto end = rest.find_first_of(" \t");
    argument.assign(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    return argument;
}

std::string readEntryFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return {};
    std::string text(kEntryReadLimit, '\0');
    file.read(text.data(), std::streamsize(text.size()));
    text.resize(std::size_t(file.gcount()));
    return text;
}

}  // namespace

DesktopEntry parseDesktopEntry(std::string_view text) {
    DesktopEntry entry;
    bool inMainGroup = false;
    while (!text.empty()) {
        const auto newline = text.find('\n');
        const std::string_view line = trim(text.substr(0, newline));
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup) continue;
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view key = trim(line.substr(0, equals));
        const std::string value = unescapeValue(trim(line.substr(equals + 1)));
        if (key == "Exec") entry.exec = value;
        else if (key == "TryExec") entry.tryExec = value;
        else if (key == "Icon") entry.icon = value;
        else if (key == "Hidden") entry.hidden = value == "true";
    }
    return entry;
}

std::string execProgram(std::string_view exec) {
    std::optional<std::string> argument = nextArgument(exec);
    if (argument && *argument == "env") {
        do {
            argument = nextArgument(exec);
        } while (argument && argument->find('=') != std::string::npos);
    }
    return argument.value_or(std::string());
}

DesktopEntryIndex::DesktopEntryIndex(std::vector<std::string> dataDirs, std::vector<std::string> pathDirs)
    : m_dataDirs(std::move(dataDirs)), m_pathDirs(std::move(pathDirs)) {
    std::set<std::string> seenIds;
    for (const std::string& dataDir : m_dataDirs) {
        const fs::path root = fs::path(dataDir) / "applications";
        std::error_code error;
        std::vector<fs::path> files;
        for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error), end;
             !error && it != end; it.increment(error)) {
            if (it->path().extension() == ".desktop" && it->is_regular_file(error)) files.push_back(it->path());
        }
        // Directory order is arbitrary; sorting makes "first entry wins" repeatable.
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            std::string id = file.lexically_relative(root).generic_string();
            std::replace(id.begin(), id.end(), '/', '-');
            if (!seenIds.insert(id).second) continue;
            const DesktopEntry entry = parseDesktopEntry(readEntryFile(file));
            if (entry.hidden || entry.icon.empty()) continue;
            ++m_entryCount;
            addProgram(execProgram(entry.exec), entry.icon);
            addProgram(entry.tryExec, entry.icon);
        }
    }
}

void DesktopEntryIndex::addProgram(const std::string& program, const std::string& icon) {
    if (program.empty()) return;
    m_iconByBaseName.emplace(baseName(program), icon);
    std::error_code error;
    if (program.find('/') != std::string::npos) {
        m_iconByPath.emplace(program, icon);
        const fs::path resolved = fs::canonical(program, error);
        if (!error) m_iconByPath.emplace(resolved.string(), icon);
        return;
    }
    for (const std::string& dir : m_pathDirs) {
        const fs::path candidate = fs::path(dir) / program;
        if (!fs::is_regular_file(candidate, error)) continue;
        m_iconByPath.emplace(candidate.string(), icon);
        const fs::path resolved = fs::canonical(candidate, error);
        if (!error) m_iconByPath.emplace(resolved.string(), icon);
        return;
    }
}

std::optional<std::string> DesktopEntryIndex::iconFor(std::string_view executablePath) const {
    if (const auto it = m_iconByPath.find(std::string(executablePath)); it != m_iconByPath.end()) return it->second;
    if (const auto it = m_iconByBaseName.find(baseName(executablePath)); it != m_iconByBaseName.end())
        return it->second;
    return std::nullopt;
}

std::vector<std::string> searchPathDirs() {
    std::vector<std::string> dirs;
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "";
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        if (!dir.empty()) dirs.emplace_back(dir);
        rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon + 1);
    }
    return dirs;
}

}  // namespace sondrel
