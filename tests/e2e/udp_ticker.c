/* Sends one datagram of PAYLOAD bytes every INTERVAL_MS milliseconds until
 * it is killed: steady traffic for tests that run across a moment in time.
 *   e2e_udp_ticker LOCAL_ADDR REMOTE_ADDR REMOTE_PORT PAYLOAD INTERVAL_MS
 * Prints "port N" once bound. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include "tests/e2e/net_args.h"
#include "tests/e2e/net_sockets.h"

int main(int argc, char** argv) {
    struct sockaddr_in local;
    struct sockaddr_in remote;
    if (parseSenderCommand(argc, argv, 6, "LOCAL_ADDR REMOTE_ADDR REMOTE_PORT PAYLOAD INTERVAL_MS", &local, &remote) != 0) {
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
    const int fd = boundDatagramSocket(&local, NULL);
    if (fd < 0) return failedCall("bind");
    announcePort(&local);
    const struct timespec pause = {.tv_sec = interval / 1000, .tv_nsec = (interval % 1000) * 1000000L};
    for (;;) {
        if (sendto(fd, payload, size, 0, (struct sockaddr*)&remote, sizeof remote) != (ssize_t)size) return failedCall("sendto");
        nanosleep(&pause, NULL);
    }
}
