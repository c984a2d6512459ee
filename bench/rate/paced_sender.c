/* Sends UDP datagrams at a steady rate with sendmmsg, for the capture-rate
 * measurement:
 *   rate_paced_sender LOCAL_ADDR REMOTE_ADDR REMOTE_PORT PAYLOAD RATE SECONDS
 * Prints "port N" once bound, starts when a line arrives on stdin, and ends
 * with "sent COUNT SECONDS". Pacing follows the wall clock: every moment it
 * has sent RATE x elapsed datagrams, in batches of at most 32, so a late
 * wake-up is caught up at once instead of lowering the rate. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { kBatch = 32 };

static uint64_t nowNs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

static int fail(const char* what) {
    perror(what);
    return 1;
}

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
    const size_t payload = (size_t)atol(argv[4]);
    const uint64_t rate = (uint64_t)atoll(argv[5]);
    const uint64_t seconds = (uint64_t)atoll(argv[6]);
    if (payload > 1472 || rate == 0 || seconds == 0) {
        fprintf(stderr, "%s: payload must be 0..1472, rate and seconds above 0\n", argv[0]);
        return 2;
    }

    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return fail("socket");
    if (bind(fd, (struct sockaddr*)&local, sizeof local) != 0) return fail("bind");
    socklen_t length = sizeof local;
    if (getsockname(fd, (struct sockaddr*)&local, &length) != 0) return fail("getsockname");
    if (connect(fd, (struct sockaddr*)&remote, sizeof remote) != 0) return fail("connect");
    printf("port %u\n", ntohs(local.sin_port));
    fflush(stdout);

    char line[64];
    if (fgets(line, sizeof line, stdin) == NULL) {
        fprintf(stderr, "%s: no go-ahead\n", argv[0]);
        return 1;
    }

    static char data[1472];
    memset(data, 'r', sizeof data);
    struct iovec vectors[kBatch];
    struct mmsghdr messages[kBatch];
    memset(messages, 0, sizeof messages);
    for (int i = 0; i < kBatch; ++i) {
        vectors[i].iov_base = data;
        vectors[i].iov_len = payload;
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }

    const uint64_t total = rate * seconds;
    const uint64_t start = nowNs();
    uint64_t sent = 0;
    while (sent < total) {
        const uint64_t elapsed = nowNs() - start;
        uint64_t due = (uint64_t)((unsigned __int128)elapsed * rate / 1000000000u) + 1;
        if (due > total) due = total;
        if (due <= sent) {
            /* Ahead of the clock: sleep until the next datagram is due. */
            const uint64_t nextAt = start + (uint64_t)((unsigned __int128)sent * 1000000000u / rate);
            const uint64_t now = nowNs();
            if (nextAt > now) {
                const struct timespec pause = {.tv_sec = 0, .tv_nsec = (long)(nextAt - now)};
                nanosleep(&pause, NULL);
            }
            continue;
        }
        const unsigned batch = (unsigned)(due - sent < kBatch ? due - sent : kBatch);
        const int done = sendmmsg(fd, messages, batch, 0);
        if (done < 0) {
            if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR) continue;
            return fail("sendmmsg");
        }
        sent += (uint64_t)done;
    }
    const double took = (double)(nowNs() - start) / 1e9;
    printf("sent %llu %.3f\n", (unsigned long long)sent, took);
    fflush(stdout);
    close(fd);
    return 0;
}
