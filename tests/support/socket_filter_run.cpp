#include "tests/support/socket_filter_run.h"

#include <bpf/bpf.h>
#include <linux/bpf.h>

namespace sondrel::test {

std::optional<std::uint32_t> runSocketFilter(int programFd, std::span<const std::uint8_t> data,
                                             std::uint32_t interfaceIndex) {
    __sk_buff context{};
    context.ifindex = interfaceIndex;
    bpf_test_run_opts options{};
    options.sz = sizeof options;
    options.data_in = data.data();
    options.data_size_in = static_cast<__u32>(data.size());
    options.ctx_in = &context;
    options.ctx_size_in = sizeof context;
    options.repeat = 1;
    if (bpf_prog_test_run_opts(programFd, &options) != 0) return std::nullopt;
    return options.retval;
}

}  // namespace sondrel::test
