#include "tests/e2e/net_sockets.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

const char* bindSocketAddress(int fd, union SocketAddress* local) {
    if (bind(fd, &local->any, socketAddressLength(local)) != 0) return "bind";
    socklen_t length = sizeof *local;
    if (getsockname(fd, &local->any, &length) != 0) return "getsockname";
    return NULL;
}

const char* bindLocal(int fd, struct sockaddr_in* local) {
    union SocketAddress address = {.v4 = *local};
    const char* failed = bindSocketAddress(fd, &address);
    *local = address.v4;
    return failed;
}

static int closeKeepingErrno(int fd) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

int socketFor(const union SocketAddress* address, int type) {
    const int fd = socket(address->any.sa_family, type, 0);
    const int off = 0;
    if (fd >= 0 && address->any.sa_family == AF_INET6 &&
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
        return closeKeepingErrno(fd);
    }
    return fd;
}

int boundDatagramSocketAt(union SocketAddress* address, const char** failed) {
    const char* call = "socket";
    const int fd = socketFor(address, SOCK_DGRAM);
    if (fd >= 0) {
        call = bindSocketAddress(fd, address);
        if (call == NULL) return fd;
        closeKeepingErrno(fd);
    }
    if (failed != NULL) *failed = call;
    return -1;
}

int boundDatagramSocket(struct sockaddr_in* address, const char** failed) {
    union SocketAddress any = {.v4 = *address};
    const int fd = boundDatagramSocketAt(&any, failed);
    *address = any.v4;
    return fd;
}

int listeningSocketAt(const union SocketAddress* address, int backlog) {
    const int fd = socketFor(address, SOCK_STREAM);
    if (fd < 0) return -1;
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, &address->any, socketAddressLength(address)) != 0 || listen(fd, backlog) != 0) {
        return closeKeepingErrno(fd);
    }
    return fd;
}

int listeningSocket(const struct sockaddr_in* address, int backlog) {
    const union SocketAddress any = {.v4 = *address};
    return listeningSocketAt(&any, backlog);
}

int writeRepeated(int fd, const char* buffer, size_t size, long count) {
    for (long left = count; left > 0;) {
        const size_t chunk = left < (long)size ? (size_t)left : size;
        const ssize_t put = write(fd, buffer, chunk);
        if (put <= 0) return -1;
        left -= put;
    }
    return 0;
}

int readToEnd(int fd, char* buffer, size_t size, long* received) {
    for (;;) {
        const ssize_t got = read(fd, buffer, size);
        if (got < 0) return -1;
        if (got == 0) return 0;
        *received += got;
    }
}
