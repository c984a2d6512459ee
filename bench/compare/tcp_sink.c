/* Reads and drops whatever any number of TCP connections send, closing each
 * when its peer half-closes, so a writer waiting for that close knows the
 * peer has read all it wrote:
 *   compare_tcp_sink ADDR PORT        (prints "ready" once listening) */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

enum { kMaxConnections = 255 };

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s ADDR PORT\n", argv[0]);
        return 2;
    }
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons((unsigned short)atoi(argv[2]))};
    if (inet_pton(AF_INET, argv[1], &address.sin_addr) != 1) {
        fprintf(stderr, "%s: bad address\n", argv[0]);
        return 2;
    }
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(listener, (struct sockaddr*)&address, sizeof address) != 0 || listen(listener, 64) != 0) {
        perror("listen");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);

    /* Slot 0 is the listener; the others are open connections, packed. */
    struct pollfd watched[1 + kMaxConnections] = {{.fd = listener, .events = POLLIN}};
    nfds_t count = 1;
    static char discard[65536];
    for (;;) {
        if (poll(watched, count, -1) < 0) {
            perror("poll");
            return 1;
        }
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
