/* A raw IPv4 socket of one protocol, a protocol no kernel module handles
 * (root: it needs CAP_NET_RAW):
 *   attr_raw --protocol P --to ADDRESS:0 --count N [--size BYTES]
 *   attr_raw --protocol P --echo
 * The first sends COUNT datagrams (at most kWindow unanswered) on a socket
 * connected to ADDRESS, reads the echoes and ends with the hold line
 * ("raw:P", keyed by the local address the connection chose). The second,
 * in the peer, sends every datagram of protocol P back to where it came from
 * and prints "ready" once its socket is open. */
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "bench/attribution/attr_net.h"

enum { kWindow = 32, kMaxPayload = 1400, kEchoWaitMs = 1000 };

static _Noreturn void echo(int fd) {
    printf("ready\n");
    fflush(stdout);
    static unsigned char buffer[65536];
    for (;;) {
        struct sockaddr_in from;
        socklen_t fromLength = sizeof from;
        /* A raw IPv4 socket reads the IP header too. */
        const ssize_t got = recvfrom(fd, buffer, sizeof buffer, 0, (struct sockaddr*)&from, &fromLength);
        if (got < 20) continue;
        const size_t header = (size_t)(buffer[0] & 0x0f) * 4;
        if ((size_t)got < header) continue;
        sendto(fd, buffer + header, (size_t)got - header, 0, (struct sockaddr*)&from, fromLength);
    }
}

int main(int argc, char** argv) {
    const int64_t mainNs = wallNs();
    struct sockaddr_storage to;
    socklen_t toLength = 0;
    long protocol = -1;
    long count = 0;
    long size = 200;
    int echoing = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--echo") == 0) {
            echoing = 1;
        } else if (i + 1 < argc && strcmp(argv[i], "--protocol") == 0) {
            protocol = atol(argv[++i]);
        } else if (i + 1 < argc && strcmp(argv[i], "--to") == 0) {
            if (parseEndpoint(argv[++i], &to, &toLength) != 0 || to.ss_family != AF_INET) toLength = 0;
        } else if (i + 1 < argc && strcmp(argv[i], "--count") == 0) {
            count = atol(argv[++i]);
        } else if (i + 1 < argc && strcmp(argv[i], "--size") == 0) {
            size = atol(argv[++i]);
        } else {
            protocol = -1;
            break;
        }
    }
    if (protocol < 1 || protocol > 254 || size < 1 || size > kMaxPayload ||
        (!echoing && (toLength == 0 || count < 1))) {
        fprintf(stderr, "usage: %s --protocol P (--to ADDRESS:0 --count N [--size BYTES] | --echo)\n", argv[0]);
        return 2;
    }
    const int64_t startNs = wallNs();
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, (int)protocol);
    if (fd < 0) return fail("raw socket");
    if (echoing) echo(fd);
    if (connect(fd, (struct sockaddr*)&to, toLength) != 0) return fail("connect");

    static unsigned char payload[kMaxPayload];
    static unsigned char echoed[65536];
    memset(payload, 'r', sizeof payload);
    long sent = 0;
    long answered = 0;
    while (answered < count) {
        for (; sent < count && sent - answered < kWindow; ++sent) {
            if (send(fd, payload, (size_t)size, 0) != size) return fail("send");
        }
        struct pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, kEchoWaitMs) <= 0) break;
        if (recv(fd, echoed, sizeof echoed, 0) > 20) ++answered;
    }
    if (answered < count) fprintf(stderr, "%s: %ld of %ld datagrams echoed\n", argv[0], answered, count);
    if (printRawHold((int)protocol, fd, startNs, mainNs) != 0) return fail("getsockname");
    return 0;
}
