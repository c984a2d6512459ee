/* Answers each connection: reads until the peer half-closes, then sends
 * REPLY_BYTES and closes. A byte count other than EXPECT_BYTES is reported
 * on stderr and answered all the same (the client's check then fails):
 *   e2e_tcp_server ADDR PORT EXPECT_BYTES REPLY_BYTES   (ADDR of either family)
 * Prints "ready" once listening. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/net_args.h"
#include "tests/e2e/net_sockets.h"

static void serve(int fd, long expectBytes, long replyBytes) {
    static char buffer[65536];
    long received = 0;
    /* A failed read ends the request like a close: what came is answered. */
    readToEnd(fd, buffer, sizeof buffer, &received);
    if (received != expectBytes) fprintf(stderr, "e2e_tcp_server: received %ld bytes, expected %ld\n", received, expectBytes);
    memset(buffer, 's', sizeof buffer);
    writeRepeated(fd, buffer, sizeof buffer, replyBytes);
    close(fd);
}

int main(int argc, char** argv) {
    if (argc != 5) return usageError(argv[0], "ADDR PORT EXPECT_BYTES REPLY_BYTES");
    union SocketAddress address;
    if (parseSocketAddress(argv[0], argv[1], argv[2], &address) != 0) return 2;
    const int listener = listeningSocketAt(&address, 8);
    if (listener < 0) return failedCall("listen");
    announceReady();
    for (;;) {
        const int fd = accept(listener, NULL, NULL);
        if (fd < 0) return failedCall("accept");
        serve(fd, atol(argv[3]), atol(argv[4]));
    }
}
