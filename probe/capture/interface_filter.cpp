#include "probe/capture/interface_filter.h"

#include "probe/capture/kernel_counting.h"

#include <net/if.h>

#include <algorithm>

namespace sondrel {

std::optional<std::string> systemInterfaceName(std::uint32_t index) {
    char name[IF_NAMESIZE] = {};
    if (::if_indextoname(index, name) == nullptr) return std::nullopt;
    return std::string(name);
}

bool InterfaceFilter::counts(std::uint32_t index) {
    for (const auto& [known, counted] : m_known)
        if (known == index) return counted;
    const std::optional<std::string> name = m_nameOf(index);
    const bool counted = name && std::find(m_names.begin(), m_names.end(), *name) != m_names.end();
    // An index without a name now is asked about again at its next frame.
    if (name) {
        m_known.emplace_back(index, counted);
        if (m_counting) m_counting->setInterfaceCounted(index, counted);
    }
    return counted;
}

void InterfaceFilter::forget() {
    m_known.clear();
    if (m_counting) m_counting->forgetInterfaces();
}

}  // namespace sondrel
