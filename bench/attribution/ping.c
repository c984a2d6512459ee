/* Echo requests through a ping socket, which needs no privilege but a group
 * in the namespace's net.ipv4.ping_group_range:
 *   attr_ping --to ADDRESS:0 --count N [--ident ID] [--size BYTES]
 * Sends COUNT requests as fast as the replies come back (at most kWindow
 * unanswered) and reads every reply. The kernel writes the socket's echo
 * identifier into each request: the identifier is the socket's port, chosen
 * by the kernel at the first send or, with --ident, bound beforehand. Ends
 * with the hold line ("icmp" or "icmp6"). */
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "bench/attribution/attr_net.h"

enum { kWindow = 32, kHeader = 8, kMaxPayload = 1400, kReplyWaitMs = 1000 };

int main(int argc, char** argv) {
    const int64_t mainNs = wallNs();
    struct sockaddr_storage to;
    socklen_t toLength = 0;
    long count = 0;
    long ident = -1;
    long size = 56;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--to") == 0) {
            if (parseEndpoint(argv[i + 1], &to, &toLength) != 0) toLength = 0;
        } else if (strcmp(argv[i], "--count") == 0) {
            count = atol(argv[i + 1]);
        } else if (strcmp(argv[i], "--ident") == 0) {
            ident = atol(argv[i + 1]);
        } else if (strcmp(argv[i], "--size") == 0) {
            size = atol(argv[i + 1]);
        } else {
            count = 0;
        }
    }
    if (toLength == 0 || count < 1 || ident > 65535 || size < 0 || size > kMaxPayload || argc % 2 == 0) {
        fprintf(stderr, "usage: %s --to ADDRESS:0 --count N [--ident ID] [--size BYTES]\n", argv[0]);
        return 2;
    }
    const int ipv6 = to.ss_family == AF_INET6;
    const int64_t startNs = wallNs();
    const int fd = socket(to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, ipv6 ? IPPROTO_ICMPV6 : IPPROTO_ICMP);
    if (fd < 0) return fail("ping socket");
    if (ident >= 0) {
        struct sockaddr_storage local;
        memset(&local, 0, sizeof local);
        local.ss_family = to.ss_family;
        if (ipv6) {
            ((struct sockaddr_in6*)&local)->sin6_port = htons((uint16_t)ident);
        } else {
            ((struct sockaddr_in*)&local)->sin_port = htons((uint16_t)ident);
        }
        if (bind(fd, (struct sockaddr*)&local, toLength) != 0) return fail("bind");
    }
    if (connect(fd, (struct sockaddr*)&to, toLength) != 0) return fail("connect");

    /* Type, code, checksum (the kernel's), identifier (the kernel's), sequence. */
    unsigned char request[kHeader + kMaxPayload];
    memset(request, 'p', sizeof request);
    request[0] = ipv6 ? 128 : 8;
    request[1] = 0;
    memset(request + 2, 0, 4);
    const unsigned char replyType = ipv6 ? 129 : 0;
    unsigned char reply[kHeader + kMaxPayload];
    long sent = 0;
    long answered = 0;
    while (answered < count) {
        for (; sent < count && sent - answered < kWindow; ++sent) {
            request[6] = (unsigned char)(sent >> 8);
            request[7] = (unsigned char)sent;
            if (send(fd, request, (size_t)(kHeader + size), 0) < 0) return fail("send");
        }
        struct pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, kReplyWaitMs) <= 0) break;
        const ssize_t got = recv(fd, reply, sizeof reply, 0);
        if (got >= kHeader && reply[0] == replyType) ++answered;
    }
    if (answered < count) fprintf(stderr, "%s: %ld of %ld requests answered\n", argv[0], answered, count);
    unsigned port = 0;
    const char* families = "4";
    if (socketHolding(fd, &port, &families) != 0) return fail("getsockname");
    printHold(ipv6 ? "icmp6" : "icmp", ipv6 ? "6" : "4", port, startNs, mainNs);
    return 0;
}
