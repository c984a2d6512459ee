#include <cstddef>
#include <cstdint>
#include <string_view>

#include "probe/discovery/process_text.h"

// Any bytes as /proc/<pid>/cmdline, /proc/<pid>/stat and an fd link's text. The
// views handed back must lie inside the input.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto inside = [&](std::string_view part) {
        return part.empty() || (part.data() >= text.data() && part.data() + part.size() <= text.data() + text.size());
    };
    if (!inside(sondrel::parseCmdlineFileName(text))) __builtin_trap();
    if (const auto comm = sondrel::parseStatComm(text); comm && !inside(*comm)) __builtin_trap();
    (void)sondrel::parseSocketLinkInode(text);
    return 0;
}
