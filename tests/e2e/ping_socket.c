/* Echo requests from an unprivileged ping socket, each answered before the
 * next goes:
 *   e2e_ping_socket LOCAL_ADDR REMOTE_ADDR COUNT SIZE
 * SIZE bytes of data after the 8-byte ICMP header, so each request and each
 * reply is 28 + SIZE bytes at the IP layer. The kernel picks the echo
 * identifier when the socket is bound; it is printed as "port N", and the
 * requests start when a line arrives on stdin. Exits 3 when the kernel offers
 * no ping sockets to this group (net.ipv4.ping_group_range), 1 when a reply
 * does not come within a second. */
#include <errno.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/net_args.h"
#include "tests/e2e/net_sockets.h"

enum { kEchoHeader = 8, kLargestData = 1400, kNoPingSockets = 3 };

static int awaitReply(int fd, unsigned sequence, char* buffer, size_t size) {
    struct pollfd ready = {.fd = fd, .events = POLLIN};
    for (;;) {
        if (poll(&ready, 1, 1000) <= 0) return -1;
        const ssize_t got = recv(fd, buffer, size, 0);
        if (got < 0) return -1;
        const struct icmphdr* reply = (const struct icmphdr*)buffer;
        /* A reply to an earlier request that came late is read past. */
        if ((size_t)got >= kEchoHeader && reply->type == ICMP_ECHOREPLY && ntohs(reply->un.echo.sequence) == sequence)
            return 0;
    }
}

int main(int argc, char** argv) {
    if (argc != 5) return usageError(argv[0], "LOCAL_ADDR REMOTE_ADDR COUNT SIZE");
    struct sockaddr_in local;
    struct sockaddr_in remote;
    if (parseAddressPort(argv[0], argv[1], "0", &local) != 0 || parseAddressPort(argv[0], argv[2], "0", &remote) != 0)
        return 2;
    const long count = atol(argv[3]);
    const size_t size = (size_t)atol(argv[4]);
    if (count <= 0 || size > kLargestData)
        return usageError(argv[0], "LOCAL_ADDR REMOTE_ADDR COUNT SIZE (SIZE <= 1400)");

    const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_ICMP);
    if (fd < 0) {
        perror("socket");
        return errno == EACCES || errno == EPROTONOSUPPORT ? kNoPingSockets : 1;
    }
    const char* failed = bindLocal(fd, &local);
    if (failed != NULL) return failedCall(failed);
    if (announcePortAndWait(argv[0], &local) != 0) return 1;

    char request[kEchoHeader + kLargestData];
    char reply[sizeof request + 64];
    memset(request, 'p', sizeof request);
    for (long sequence = 1; sequence <= count; ++sequence) {
        struct icmphdr* header = (struct icmphdr*)request;
        memset(header, 0, sizeof *header);
        header->type = ICMP_ECHO;
        header->un.echo.sequence = htons((unsigned short)sequence);
        /* The kernel writes the identifier and the checksum. */
        if (sendto(fd, request, kEchoHeader + size, 0, (struct sockaddr*)&remote, sizeof remote) !=
            (ssize_t)(kEchoHeader + size))
            return failedCall("sendto");
        if (awaitReply(fd, (unsigned)sequence, reply, sizeof reply) != 0) {
            fprintf(stderr, "%s: no reply to request %ld\n", argv[0], sequence);
            return 1;
        }
    }
    reportSent((unsigned long long)count, 0.0);
    close(fd);
    return 0;
}
