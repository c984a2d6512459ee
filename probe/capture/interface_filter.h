#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sondrel {

class KernelCounting;

// The name of the interface with this index now, if there is one.
using InterfaceNameOf = std::optional<std::string> (*)(std::uint32_t index);
std::optional<std::string> systemInterfaceName(std::uint32_t index);

// Which interfaces a capture of named interfaces counts. Frames carry
// indexes; an index is looked up by name the first time it shows up, so an
// interface that appears later is counted from its first frame. Only the
// capture thread uses it.
class InterfaceFilter {
public:
    explicit InterfaceFilter(std::vector<std::string> names, InterfaceNameOf nameOf = systemInterfaceName)
        : m_names(std::move(names)), m_nameOf(nameOf) {}

    bool counts(std::uint32_t index);
    // Interfaces may have been renamed or replaced: every index is looked up again.
    void forget();
    // Told each verdict as it is reached, and each forget().
    void setKernelCounting(KernelCounting* counting) { m_counting = counting; }

private:
    std::vector<std::string> m_names;
    InterfaceNameOf m_nameOf;
    KernelCounting* m_counting = nullptr;
    std::vector<std::pair<std::uint32_t, bool>> m_known;
};

}  // namespace sondrel
