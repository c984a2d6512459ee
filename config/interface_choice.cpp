#include "config/interface_choice.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "config/settings.h"

namespace sondrel {

std::string interfaceChoicePath(const std::string& folder) { return folder + "/" + kInterfaceChoiceFileName; }

std::optional<CaptureSet> decodeInterfaceChoice(std::string_view bytes) {
    while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r' || bytes.back() == ' ' ||
                              bytes.back() == '\t'))
        bytes.remove_suffix(1);
    return parseInterfaceList(bytes);
}

std::optional<CaptureSet> loadInterfaceChoice(const std::string& folder) {
    const std::optional<std::string> bytes = readSettingsFileBytes(interfaceChoicePath(folder));
    if (!bytes) return std::nullopt;
    return decodeInterfaceChoice(*bytes);
}

bool saveInterfaceChoice(const std::string& folder, const CaptureSet& set) {
    const std::string path = interfaceChoicePath(folder);
    if (!set.followsInterfaces()) return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    // Written beside and renamed over, so a crash leaves the old choice or the new one.
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) return false;
    const std::string text = interfaceListText(set) + "\n";
    bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size()) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}

}  // namespace sondrel
