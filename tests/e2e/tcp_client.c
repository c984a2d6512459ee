/* One TCP exchange with e2e_tcp_server: sends SEND_BYTES, half-closes, reads
 * the answer to its end and checks it is EXPECT_BYTES long:
 *   e2e_tcp_client LOCAL_ADDR REMOTE_ADDR REMOTE_PORT SEND_BYTES EXPECT_BYTES
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

static int reusableSocket(void) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int main(int argc, char** argv) {
    struct sockaddr_in local;
    struct sockaddr_in remote;
    if (parseSenderCommand(argc, argv, 6, "LOCAL_ADDR REMOTE_ADDR REMOTE_PORT SEND_BYTES EXPECT_BYTES", &local, &remote) != 0) {
        return 2;
    }
    const long sendBytes = atol(argv[4]);
    const long expectBytes = atol(argv[5]);

    const int holder = reusableSocket();
    if (holder < 0) return failedCall("socket");
    const char* failed = bindLocal(holder, &local);
    if (failed != NULL) return failedCall(failed);
    if (listen(holder, 1) != 0) return failedCall("listen");
    const int fd = reusableSocket();
    if (fd < 0) return failedCall("socket");
    if (bind(fd, (struct sockaddr*)&local, sizeof local) != 0) return failedCall("bind shared port");
    if (announcePortAndWait(argv[0], &local) != 0) return 1;

    if (connect(fd, (struct sockaddr*)&remote, sizeof remote) != 0) return failedCall("connect");
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
