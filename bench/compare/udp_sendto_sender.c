/* UDP datagrams from an unconnected socket, one sendto() each, evenly spaced:
 * the way a program talking to many peers through one socket sends.
 *   compare_udp_sendto LOCAL_ADDR REMOTE_ADDR REMOTE_PORT PAYLOAD RATE SECONDS
 * Prints "port N" once bound, starts when a line arrives on stdin, sends
 * RATE x SECONDS datagrams RATE a second and ends with "sent COUNT SECONDS".
 * The socket table lists such a socket without a remote address, so a
 * monitor that matches packets to sockets by both ends cannot place them. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "tests/e2e/net_args.h"
#include "tests/e2e/net_sockets.h"
#include "tests/e2e/pacing_clock.h"

int main(int argc, char** argv) {
    struct sockaddr_in local;
    struct sockaddr_in remote;
    if (parseSenderCommand(argc, argv, 7, "LOCAL_ADDR REMOTE_ADDR REMOTE_PORT PAYLOAD RATE SECONDS", &local, &remote) != 0) {
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
    const int fd = boundDatagramSocket(&local, NULL);
    if (fd < 0) return failedCall("bind");
    if (announcePortAndWait(argv[0], &local) != 0) return 1;

    memset(payload, 'd', sizeof payload);
    const struct timespec gap = {.tv_sec = 0, .tv_nsec = 1000000000L / rate};
    const uint64_t start = monotonicNs();
    for (long i = 0; i < count; ++i) {
        if (i > 0) nanosleep(&gap, NULL);
        if (sendto(fd, payload, size, 0, (struct sockaddr*)&remote, sizeof remote) != (ssize_t)size) return failedCall("sendto");
    }
    reportSent((unsigned long long)count, secondsSinceNs(start));
    close(fd);
    return 0;
}
