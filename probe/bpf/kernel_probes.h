#pragma once

#include <string>

struct btf;

namespace sondrel::bpf {

// The running kernel's BTF (/sys/kernel/btf/vmlinux), parsed once for all
// probes of one open.
class KernelBtf {
public:
    // Empty (valid() false) when the kernel publishes no BTF; error() tells why.
    KernelBtf();
    ~KernelBtf();
    KernelBtf(const KernelBtf&) = delete;
    KernelBtf& operator=(const KernelBtf&) = delete;

    bool valid() const { return m_btf != nullptr; }
    int error() const { return m_error; }
    const struct btf* get() const { return m_btf; }

private:
    struct btf* m_btf = nullptr;
    int m_error = 0;
};

enum class AttachKind { Tracepoint, Entry, Exit };  // tp_btf/, fentry/, fexit/

// Each probe returns 0 when the kernel can do it, else a negative errno of the
// failing step: -ENOENT when the hook does not exist, -EPERM or -EACCES
// without CAP_BPF and CAP_PERFMON (or where the kernel refuses BPF
// trampolines altogether, as some virtual machines' kernels do). The trial program is attached and closed
// at once, as libbpf-tools' fentry_can_attach does, so a hook that exists but
// cannot be attached (no trampolines on this kernel) also fails here.
int probeRingBuffer();
int probeAttach(const KernelBtf& btf, const std::string& target, AttachKind kind);

}  // namespace sondrel::bpf
