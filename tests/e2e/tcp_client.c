/* One TCP exchange with e2e_tcp_server: sends SEND_BYTES, half-closes, reads
 * the answer to its end and checks it is EXPECT_BYTES long:
 *   e2e_tcp_client LOCAL_ADDR REMOTE_ADDR REMOTE_PORT SEND_BYTES EXPECT_BYTES
 * Addresses of either family, both of the same one.
 * Prints "port N" once its local port is taken, connects when a line arrives
 * on stdin.
 *
 * A connecting socket appears in the kernel's socket table only when connect()
 * already sends its SYN, too late for a monitor that learns owners by scanning
 * that table. So the port is first taken by a listening socket (which the
 * table lists at once) and shared with the connecting one through
 * SO_REUSEPORT: the whole connection, handshake included, then has an owner. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/net_args.h"
#include "tests/e2e/net_sockets.h"

static int reusableSocket(const union SocketAddress* local) {
    const int fd = socketFor(local, SOCK_STREAM);
    const int on = 1;
    if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int main(int argc, char** argv) {
    if (argc != 6) return usageError(argv[0], "LOCAL_ADDR REMOTE_ADDR REMOTE_PORT SEND_BYTES EXPECT_BYTES");
    union SocketAddress local;
    union SocketAddress remote;
    if (parseSocketAddress(argv[0], argv[1], "0", &local) != 0 || parseSocketAddress(argv[0], argv[2], argv[3], &remote) != 0) {
        return 2;
    }
    const long sendBytes = atol(argv[4]);
    const long expectBytes = atol(argv[5]);

    const int holder = reusableSocket(&local);
    if (holder < 0) return failedCall("socket");
    const char* failed = bindSocketAddress(holder, &local);
    if (failed != NULL) return failedCall(failed);
    if (listen(holder, 1) != 0) return failedCall("listen");
    const int fd = reusableSocket(&local);
    if (fd < 0) return failedCall("socket");
    if (bind(fd, &local.any, socketAddressLength(&local)) != 0) return failedCall("bind shared port");
    announceSocketPort(&local);
    if (awaitGoAhead(argv[0]) != 0) return 1;

    if (connect(fd, &remote.any, socketAddressLength(&remote)) != 0) return failedCall("connect");
    static char buffer[65536];
    memset(buffer, 't', sizeof buffer);
    if (writeRepeated(fd, buffer, sizeof buffer, sendBytes) != 0) return failedCall("write");
    if (shutdown(fd, SHUT_WR) != 0) return failedCall("shutdown");
    long received = 0;
    if (readToEnd(fd, buffer, sizeof buffer, &received) != 0) return failedCall("read");
    close(fd);
    close(holder);
    if (received != expectBytes) {
        fprintf(stderr, "%s: received %ld bytes, expected %ld\n", argv[0], received, expectBytes);
        return 1;
    }
    return 0;
}
