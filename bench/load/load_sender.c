/* One of the load run's sending processes: UDP datagrams at a steady rate,
 * from one socket, to a cycle of many remote addresses:
 *   load_sender LOCAL_ADDR FIRST_REMOTE ADDRESSES OFFSET PORT PAYLOAD RATE SECONDS BURST
 * Datagram k goes to FIRST_REMOTE + (OFFSET + k / BURST) mod ADDRESSES, so
 * every BURST datagrams this socket meets a remote address it may not have
 * met before: a new endpoint row for the monitor, and a new resolver.
 * Prints "port N" once bound, starts when a line arrives on stdin, and ends
 * with "sent COUNT SECONDS". Paced by the wall clock in batches of up to 32
 * (sendmmsg), sleeping until a whole batch is due, so fifty of these wake
 * the scheduler a few thousand times a second, not a hundred thousand. */
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
    if (argc != 10) {
        fprintf(stderr, "usage: %s LOCAL_ADDR FIRST_REMOTE ADDRESSES OFFSET PORT PAYLOAD RATE SECONDS BURST\n", argv[0]);
        return 2;
    }
    struct sockaddr_in local = {.sin_family = AF_INET};
    struct in_addr first;
    if (inet_pton(AF_INET, argv[1], &local.sin_addr) != 1 || inet_pton(AF_INET, argv[2], &first) != 1) {
        fprintf(stderr, "%s: bad address\n", argv[0]);
        return 2;
    }
    const uint32_t addresses = (uint32_t)strtoul(argv[3], NULL, 10);
    const uint32_t offset = (uint32_t)strtoul(argv[4], NULL, 10);
    const unsigned short port = (unsigned short)atoi(argv[5]);
    const size_t payload = (size_t)atol(argv[6]);
    const uint64_t rate = (uint64_t)atoll(argv[7]);
    const uint64_t seconds = (uint64_t)atoll(argv[8]);
    const uint64_t burst = (uint64_t)atoll(argv[9]);
    if (addresses == 0 || payload > 1472 || rate == 0 || seconds == 0 || burst == 0) {
        fprintf(stderr, "%s: addresses, rate, seconds and burst above 0, payload 0..1472\n", argv[0]);
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

    static char data[1472];
    memset(data, 'l', sizeof data);
    struct iovec vectors[kBatch];
    struct sockaddr_in targets[kBatch];
    struct mmsghdr messages[kBatch];
    memset(messages, 0, sizeof messages);
    for (int i = 0; i < kBatch; ++i) {
        vectors[i].iov_base = data;
        vectors[i].iov_len = payload;
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &targets[i];
        messages[i].msg_hdr.msg_namelen = sizeof targets[i];
        targets[i] = (struct sockaddr_in){.sin_family = AF_INET, .sin_port = htons(port)};
    }
    const uint32_t firstHost = ntohl(first.s_addr);

    const uint64_t total = rate * seconds;
    const uint64_t start = nowNs();
    uint64_t sent = 0;
    while (sent < total) {
        const uint64_t left = total - sent;
        const uint64_t want = left < kBatch ? left : kBatch;
        /* The moment the last datagram of this batch is due. */
        const uint64_t dueAt = start + (uint64_t)((unsigned __int128)(sent + want - 1) * 1000000000u / rate);
        const uint64_t now = nowNs();
        if (dueAt > now) {
            const uint64_t wait = dueAt - now;
            const struct timespec pause = {.tv_sec = (time_t)(wait / 1000000000u), .tv_nsec = (long)(wait % 1000000000u)};
            nanosleep(&pause, NULL);
            continue;
        }
        for (uint64_t i = 0; i < want; ++i) {
            const uint64_t k = sent + i;
            targets[i].sin_addr.s_addr = htonl(firstHost + (uint32_t)((offset + k / burst) % addresses));
        }
        const int done = sendmmsg(fd, messages, (unsigned)want, 0);
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
