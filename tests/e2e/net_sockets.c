#include "tests/e2e/net_sockets.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

const char* bindLocal(int fd, struct sockaddr_in* local) {
    if (bind(fd, (struct sockaddr*)local, sizeof *local) != 0) return "bind";
    socklen_t length = sizeof *local;
    if (getsockname(fd, (struct sockaddr*)local, &length) != 0) return "getsockname";
    return NULL;
}

static int closeKeepingErrno(int fd) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

int boundDatagramSocket(struct sockaddr_in* address, const char** failed) {
    const char* call = "socket";
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd >= 0) {
        call = bindLocal(fd, address);
        if (call == NULL) return fd;
        closeKeepingErrno(fd);
    }
    if (failed != NULL) *failed = call;
    return -1;
}

int listeningSocket(const struct sockaddr_in* address, int backlog) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, (const struct sockaddr*)address, sizeof *address) != 0 || listen(fd, backlog) != 0) {
        return closeKeepingErrno(fd);
    }
    return fd;
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
