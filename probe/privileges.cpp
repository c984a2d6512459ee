#include "probe/privileges.h"

#include <sys/capability.h>

#include <cstdio>
#include <vector>

namespace sondrel::probe {

namespace {

std::vector<cap_value_t> capabilitiesOf(Privilege privilege) {
    switch (privilege) {
    case Privilege::Capture: return {CAP_NET_RAW};
    case Privilege::ReadProcesses: return {CAP_DAC_READ_SEARCH, CAP_SYS_PTRACE};
    case Privilege::LoadProbes: return {CAP_BPF, CAP_PERFMON};
    }
    return {};
}

// Changes the calling thread's sets; false when the kernel refuses (for
// instance a capability that is not permitted).
bool change(const std::vector<cap_value_t>& values, cap_flag_t flag, cap_flag_value_t value) {
    if (values.empty()) return true;
    cap_t caps = cap_get_proc();
    if (caps == nullptr) return false;
    bool ok = cap_set_flag(caps, flag, int(values.size()), values.data(), value) == 0;
    if (value == CAP_CLEAR && flag == CAP_PERMITTED) {
        ok = ok && cap_set_flag(caps, CAP_EFFECTIVE, int(values.size()), values.data(), CAP_CLEAR) == 0;
    }
    ok = ok && cap_set_proc(caps) == 0;
    cap_free(caps);
    return ok;
}

}  // namespace

void limitToNeeded() {
    cap_t current = cap_get_proc();
    cap_t wanted = cap_init();
    if (current == nullptr || wanted == nullptr) {
        cap_free(current);
        cap_free(wanted);
        return;
    }
    for (const Privilege privilege : {Privilege::Capture, Privilege::ReadProcesses, Privilege::LoadProbes}) {
        for (const cap_value_t value : capabilitiesOf(privilege)) {
            cap_flag_value_t permitted = CAP_CLEAR;
            if (cap_get_flag(current, value, CAP_PERMITTED, &permitted) == 0 && permitted == CAP_SET) {
                cap_set_flag(wanted, CAP_PERMITTED, 1, &value, CAP_SET);
            }
        }
    }
    // Nothing effective, nothing inheritable: each operation raises its own.
    cap_set_proc(wanted);
    cap_free(wanted);
    cap_free(current);
}

ScopedPrivilege::ScopedPrivilege(Privilege privilege)
    : m_privilege(privilege), m_raised(change(capabilitiesOf(privilege), CAP_EFFECTIVE, CAP_SET)) {}

ScopedPrivilege::~ScopedPrivilege() {
    if (m_raised) change(capabilitiesOf(m_privilege), CAP_EFFECTIVE, CAP_CLEAR);
}

void dropForGood(std::initializer_list<Privilege> privileges) {
    std::vector<cap_value_t> values;
    for (const Privilege privilege : privileges) {
        const auto more = capabilitiesOf(privilege);
        values.insert(values.end(), more.begin(), more.end());
    }
    change(values, CAP_PERMITTED, CAP_CLEAR);
}

void dropEverything() {
    cap_t none = cap_init();
    if (none == nullptr) return;
    cap_set_proc(none);
    cap_free(none);
}

std::string effectiveCapabilities() {
    cap_t caps = cap_get_proc();
    unsigned long long mask = 0;
    if (caps != nullptr) {
        for (cap_value_t value = 0; value <= CAP_LAST_CAP && value < 64; ++value) {
            cap_flag_value_t set = CAP_CLEAR;
            if (cap_get_flag(caps, value, CAP_EFFECTIVE, &set) == 0 && set == CAP_SET) mask |= 1ull << value;
        }
        cap_free(caps);
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", mask);
    return text;
}

}  // namespace sondrel::probe
