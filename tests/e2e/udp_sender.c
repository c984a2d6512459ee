/* Sends one UDP datagram per payload size given, from a socket bound before
 * the monitor is told to look, so every datagram has a known owner:
 *   e2e_udp_sender LOCAL_ADDR REMOTE_ADDR REMOTE_PORT SIZE...
 * Prints "port N" once bound, sends when a line arrives on stdin. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int fail(const char* what) {
    perror(what);
    return 1;
}

int main(int argc, char** argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: %s LOCAL_ADDR REMOTE_ADDR REMOTE_PORT SIZE...\n", argv[0]);
        return 2;
    }
    struct sockaddr_in local = {.sin_family = AF_INET};
    struct sockaddr_in remote = {.sin_family = AF_INET, .sin_port = htons((unsigned short)atoi(argv[3]))};
    if (inet_pton(AF_INET, argv[1], &local.sin_addr) != 1 || inet_pton(AF_INET, argv[2], &remote.sin_addr) != 1) {
        fprintf(stderr, "%s: bad address\n", argv[0]);
        return 2;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return fail("socket");
    if (bind(fd, (struct sockaddr*)&local, sizeof local) != 0) return fail("bind");
    socklen_t length = sizeof local;
    if (getsockname(fd, (struct sockaddr*)&local, &length) != 0) return fail("getsockname");
    printf("port %u\n", ntohs(local.sin_port));
    fflush(stdout);

    char line[64];
    if (fgets(line, sizeof line, stdin) == NULL) {
        fprintf(stderr, "%s: no go-ahead\n", argv[0]);
        return 1;
    }
    static char payload[65507];
    memset(payload, 'u', sizeof payload);
    for (int i = 4; i < argc; ++i) {
        const size_t size = (size_t)atol(argv[i]);
        if (size > sizeof payload) {
            fprintf(stderr, "%s: payload %zu too large\n", argv[0], size);
            return 2;
        }
        if (sendto(fd, payload, size, 0, (struct sockaddr*)&remote, sizeof remote) != (ssize_t)size) return fail("sendto");
    }
    close(fd);
    return 0;
}
