/* Sends one datagram of PAYLOAD bytes every INTERVAL_MS milliseconds until
 * it is killed: steady traffic for tests that run across a moment in time.
 *   e2e_udp_ticker LOCAL_ADDR REMOTE_ADDR REMOTE_PORT PAYLOAD INTERVAL_MS
 * Prints "port N" once bound. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: %s LOCAL_ADDR REMOTE_ADDR REMOTE_PORT PAYLOAD INTERVAL_MS\n", argv[0]);
        return 2;
    }
    struct sockaddr_in local = {.sin_family = AF_INET};
    struct sockaddr_in remote = {.sin_family = AF_INET, .sin_port = htons((unsigned short)atoi(argv[3]))};
    if (inet_pton(AF_INET, argv[1], &local.sin_addr) != 1 || inet_pton(AF_INET, argv[2], &remote.sin_addr) != 1) {
        fprintf(stderr, "%s: bad address\n", argv[0]);
        return 2;
    }
    static char payload[1472];
    const size_t size = (size_t)atol(argv[4]);
    const long interval = atol(argv[5]);
    if (size > sizeof payload || interval <= 0) {
        fprintf(stderr, "%s: payload must be 0..1472, interval above 0\n", argv[0]);
        return 2;
    }
    memset(payload, 'k', sizeof payload);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    socklen_t length = sizeof local;
    if (fd < 0 || bind(fd, (struct sockaddr*)&local, sizeof local) != 0 ||
        getsockname(fd, (struct sockaddr*)&local, &length) != 0) {
        perror("bind");
        return 1;
    }
    printf("port %u\n", ntohs(local.sin_port));
    fflush(stdout);
    const struct timespec pause = {.tv_sec = interval / 1000, .tv_nsec = (interval % 1000) * 1000000L};
    for (;;) {
        if (sendto(fd, payload, size, 0, (struct sockaddr*)&remote, sizeof remote) != (ssize_t)size) {
            perror("sendto");
            return 1;
        }
        nanosleep(&pause, NULL);
    }
}
