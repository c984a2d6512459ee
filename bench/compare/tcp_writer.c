/* One TCP connection carrying small writes at a steady rate, the TCP load of
 * the side-by-side run:
 *   compare_tcp_writer LOCAL_ADDR REMOTE_ADDR REMOTE_PORT WRITE_SIZE RATE SECONDS
 * Connects first and prints "port N", so the connection is in the socket
 * table well before its first data segment; starts when a line arrives on
 * stdin. TCP_NODELAY makes each write leave as a segment of its own while the
 * connection keeps up; when it falls behind, the kernel joins queued writes,
 * so the segment rate is what tcpdump saw, not RATE. Writes follow a 1 ms
 * clock and catch up after a late wake-up. Ends with "sent WRITES SECONDS"
 * once the peer has read everything and closed. */
#include <errno.h>
#include <netinet/tcp.h>
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
    if (parseSenderCommand(argc, argv, 7, "LOCAL_ADDR REMOTE_ADDR REMOTE_PORT WRITE_SIZE RATE SECONDS", &local, &remote) != 0) {
        return 2;
    }
    const long writeSize = atol(argv[4]);
    const long long perSecond = atoll(argv[5]);
    const long long seconds = atoll(argv[6]);
    static char block[65536];
    if (writeSize <= 0 || writeSize > (long)sizeof block || perSecond <= 0 || seconds <= 0) {
        fprintf(stderr, "%s: write size must be 1..%zu, rate and seconds above 0\n", argv[0], sizeof block);
        return 2;
    }

    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    if (fd < 0) return failedCall("socket");
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) return failedCall("TCP_NODELAY");
    if (bind(fd, (struct sockaddr*)&local, sizeof local) != 0) return failedCall("bind");
    if (connect(fd, (struct sockaddr*)&remote, sizeof remote) != 0) return failedCall("connect");
    socklen_t length = sizeof local;
    if (getsockname(fd, (struct sockaddr*)&local, &length) != 0) return failedCall("getsockname");
    if (announcePortAndWait(argv[0], &local) != 0) return 1;

    memset(block, 'w', sizeof block);
    const long long total = perSecond * seconds;
    long long written = 0;
    const uint64_t startNs = monotonicNs();
    struct timespec tick = {.tv_sec = (time_t)(startNs / 1000000000u), .tv_nsec = (long)(startNs % 1000000000u)};
    for (long long millisecond = 1; written < total; ++millisecond) {
        long long due = perSecond * millisecond / 1000;
        if (due > total) due = total;
        for (; written < due; ++written) {
            if (write(fd, block, (size_t)writeSize) != writeSize) return failedCall("write");
        }
        tick.tv_nsec += 1000000;
        if (tick.tv_nsec >= 1000000000) {
            tick.tv_nsec -= 1000000000;
            ++tick.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, NULL) == EINTR) {
        }
    }
    const double took = secondsSinceNs(startNs);
    if (shutdown(fd, SHUT_WR) != 0) return failedCall("shutdown");
    long drained = 0;
    readToEnd(fd, block, sizeof block, &drained);
    close(fd);
    reportSent((unsigned long long)written, took);
    return 0;
}
