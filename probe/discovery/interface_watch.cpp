#include "probe/discovery/interface_watch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>

namespace sondrel {

InterfaceWatch::InterfaceWatch(unsigned groups)
    : m_socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE)) {
    if (!m_socket.valid()) return;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = groups;
    if (::bind(m_socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        m_socket = FileDescriptor();
}

bool InterfaceWatch::changed() {
    if (!valid()) return false;
    bool any = false;
    std::array<char, 8192> buffer;
    for (;;) {
        const ssize_t got = ::recv(m_socket.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got > 0) {
            any = true;
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == ENOBUFS) {
            any = true;
            continue;
        }
        return any;
    }
}

}  // namespace sondrel
