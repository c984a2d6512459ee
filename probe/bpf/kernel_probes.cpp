#include "probe/bpf/kernel_probes.h"

#include <bpf/bpf.h>
#include <bpf/btf.h>
#include <bpf/libbpf.h>
#include <linux/bpf.h>
#include <unistd.h>

#include <cerrno>

namespace sondrel::bpf {

KernelBtf::KernelBtf() : m_btf(btf__load_vmlinux_btf()) {
    if (m_btf == nullptr) m_error = -errno;
}

KernelBtf::~KernelBtf() {
    btf__free(m_btf);
}

int probeRingBuffer() {
    const int fd = bpf_map_create(BPF_MAP_TYPE_RINGBUF, nullptr, 0, 0, static_cast<__u32>(getpagesize()), nullptr);
    if (fd < 0) return -errno;
    close(fd);
    return 0;
}

int probeAttach(const KernelBtf& btf, const std::string& target, AttachKind kind) {
    if (!btf.valid()) return btf.error() != 0 ? btf.error() : -ENOENT;
    const bool tracepoint = kind == AttachKind::Tracepoint;
    const int id = tracepoint ? btf__find_by_name_kind(btf.get(), ("btf_trace_" + target).c_str(), BTF_KIND_TYPEDEF)
                              : btf__find_by_name_kind(btf.get(), target.c_str(), BTF_KIND_FUNC);
    if (id <= 0) return -ENOENT;

    // r0 = 0; exit
    const bpf_insn program[] = {
        {BPF_ALU64 | BPF_MOV | BPF_K, BPF_REG_0, 0, 0, 0},
        {BPF_JMP | BPF_EXIT, 0, 0, 0, 0},
    };
    LIBBPF_OPTS(bpf_prog_load_opts, options);
    options.expected_attach_type =
        tracepoint ? BPF_TRACE_RAW_TP : (kind == AttachKind::Entry ? BPF_TRACE_FENTRY : BPF_TRACE_FEXIT);
    options.attach_btf_id = static_cast<__u32>(id);
    const int programFd = bpf_prog_load(BPF_PROG_TYPE_TRACING, "sondrel_probe", "Dual BSD/GPL", program, 2, &options);
    if (programFd < 0) return -errno;
    const int linkFd = bpf_raw_tracepoint_open(nullptr, programFd);
    const int result = linkFd < 0 ? -errno : 0;
    if (linkFd >= 0) close(linkFd);
    close(programFd);
    return result;
}

}  // namespace sondrel::bpf
