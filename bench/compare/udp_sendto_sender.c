/* UDP datagrams from an unconnected socket, one sendto() each, evenly spaced:
 * the way a program talking to many peers through one socket sends.
 *   compare_udp_sendto LOCAL_ADDR REMOTE_ADDR REMOTE_PORT PAYLOAD RATE SECONDS
 * Prints "port N" once bound, starts when a line arrives on stdin, sends
 * RATE x SECONDS datagrams RATE a second and ends with "sent COUNT SECONDS".
 * The socket table lists such a socket without a remote address, so a
 * monitor that matches packets to sockets by both ends cannot place them. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: %s LOCAL_ADDR REMOTE_ADDR REMOTE_PORT PAYLOAD RATE SECONDS\n", argv[0]);
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
    const long rate = atol(argv[5]);
    const long count = rate * atol(argv[6]);
    if (size > sizeof payload || rate <= 0 || rate > 1000000 || count <= 0) {
        fprintf(stderr, "%s: payload must be 0..%zu, rate 1..1000000, seconds above 0\n", argv[0], sizeof payload);
        return 2;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    socklen_t length = sizeof local;
    if (fd < 0 || bind(fd, (struct sockaddr*)&local, sizeof local) != 0 ||
        getsockname(fd, (struct sockaddr*)&local, &length) != 0) {
        perror("bind");
        return 1;
    }
    printf("port %u\n", ntohs(local.sin_port));
    fflush(stdout);
    char line[64];
    if (fgets(line, sizeof line, stdin) == NULL) {
        fprintf(stderr, "%s: no go-ahead\n", argv[0]);
        return 1;
    }

    memset(payload, 'd', sizeof payload);
    const struct timespec gap = {.tv_sec = 0, .tv_nsec = 1000000000L / rate};
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < count; ++i) {
        if (i > 0) nanosleep(&gap, NULL);
        if (sendto(fd, payload, size, 0, (struct sockaddr*)&remote, sizeof remote) != (ssize_t)size) {
            perror("sendto");
            return 1;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    printf("sent %ld %.3f\n", count, (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9);
    fflush(stdout);
    close(fd);
    return 0;
}
