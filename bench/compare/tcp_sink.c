/* Reads and drops whatever any number of TCP connections send, closing each
 * when its peer half-closes, so a writer waiting for that close knows the
 * peer has read all it wrote:
 *   compare_tcp_sink ADDR PORT        (prints "ready" once listening) */
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/net_args.h"
#include "tests/e2e/net_sockets.h"

enum { kMaxConnections = 255 };

int main(int argc, char** argv) {
    if (argc != 3) return usageError(argv[0], "ADDR PORT");
    struct sockaddr_in address;
    if (parseAddressPort(argv[0], argv[1], argv[2], &address) != 0) return 2;
    const int listener = listeningSocket(&address, 64);
    if (listener < 0) return failedCall("listen");
    announceReady();

    /* Slot 0 is the listener; the others are open connections, packed. */
    struct pollfd watched[1 + kMaxConnections] = {{.fd = listener, .events = POLLIN}};
    nfds_t count = 1;
    static char discard[65536];
    for (;;) {
        if (poll(watched, count, -1) < 0) return failedCall("poll");
        for (nfds_t i = count; i-- > 1;) {
            if (watched[i].revents == 0) continue;
            if (read(watched[i].fd, discard, sizeof discard) > 0) continue;
            close(watched[i].fd);
            watched[i] = watched[--count];
        }
        if ((watched[0].revents & POLLIN) != 0 && count < 1 + kMaxConnections) {
            const int connection = accept(listener, NULL, NULL);
            if (connection >= 0) watched[count++] = (struct pollfd){.fd = connection, .events = POLLIN};
        }
    }
}
