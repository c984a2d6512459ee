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
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static int fail(const char* what) {
    perror(what);
    return 1;
}

static double secondsSince(const struct timespec* start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start->tv_sec) + (double)(now.tv_nsec - start->tv_nsec) / 1e9;
}

int main(int argc, char** argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: %s LOCAL_ADDR REMOTE_ADDR REMOTE_PORT WRITE_SIZE RATE SECONDS\n", argv[0]);
        return 2;
    }
    struct sockaddr_in local = {.sin_family = AF_INET};
    struct sockaddr_in remote = {.sin_family = AF_INET, .sin_port = htons((unsigned short)atoi(argv[3]))};
    if (inet_pton(AF_INET, argv[1], &local.sin_addr) != 1 || inet_pton(AF_INET, argv[2], &remote.sin_addr) != 1) {
        fprintf(stderr, "%s: bad address\n", argv[0]);
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
    if (fd < 0) return fail("socket");
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) return fail("TCP_NODELAY");
    if (bind(fd, (struct sockaddr*)&local, sizeof local) != 0) return fail("bind");
    if (connect(fd, (struct sockaddr*)&remote, sizeof remote) != 0) return fail("connect");
    socklen_t length = sizeof local;
    if (getsockname(fd, (struct sockaddr*)&local, &length) != 0) return fail("getsockname");
    printf("port %u\n", ntohs(local.sin_port));
    fflush(stdout);
    char line[64];
    if (fgets(line, sizeof line, stdin) == NULL) {
        fprintf(stderr, "%s: no go-ahead\n", argv[0]);
        return 1;
    }

    memset(block, 'w', sizeof block);
    const long long total = perSecond * seconds;
    long long written = 0;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    struct timespec tick = start;
    for (long long millisecond = 1; written < total; ++millisecond) {
        long long due = perSecond * millisecond / 1000;
        if (due > total) due = total;
        for (; written < due; ++written) {
            if (write(fd, block, (size_t)writeSize) != writeSize) return fail("write");
        }
        tick.tv_nsec += 1000000;
        if (tick.tv_nsec >= 1000000000) {
            tick.tv_nsec -= 1000000000;
            ++tick.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, NULL) == EINTR) {
        }
    }
    const double took = secondsSince(&start);
    if (shutdown(fd, SHUT_WR) != 0) return fail("shutdown");
    while (read(fd, block, sizeof block) > 0) {
    }
    close(fd);
    printf("sent %lld %.3f\n", written, took);
    fflush(stdout);
    return 0;
}
