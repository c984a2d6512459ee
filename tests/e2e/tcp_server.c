/* Answers each connection: reads until the peer half-closes, then sends
 * REPLY_BYTES and closes. A byte count other than EXPECT_BYTES is reported
 * on stderr and answered all the same (the client's check then fails):
 *   e2e_tcp_server ADDR PORT EXPECT_BYTES REPLY_BYTES
 * Prints "ready" once listening. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static void serve(int fd, long expectBytes, long replyBytes) {
    static char buffer[65536];
    long received = 0;
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        received += got;
    }
    if (received != expectBytes) fprintf(stderr, "e2e_tcp_server: received %ld bytes, expected %ld\n", received, expectBytes);
    memset(buffer, 's', sizeof buffer);
    for (long left = replyBytes; left > 0;) {
        const size_t chunk = left < (long)sizeof buffer ? (size_t)left : sizeof buffer;
        const ssize_t put = write(fd, buffer, chunk);
        if (put <= 0) break;
        left -= put;
    }
    close(fd);
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s ADDR PORT EXPECT_BYTES REPLY_BYTES\n", argv[0]);
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
        bind(listener, (struct sockaddr*)&address, sizeof address) != 0 || listen(listener, 8) != 0) {
        perror("listen");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        const int fd = accept(listener, NULL, NULL);
        if (fd < 0) {
            perror("accept");
            return 1;
        }
        serve(fd, atol(argv[3]), atol(argv[4]));
    }
}
