/* From one UDP socket, sends one datagram per payload size to each remote
 * address in turn and waits for its echo from "e2e_udp_sink ... echo":
 *   e2e_udp_exchange LOCAL_ADDR REMOTE_PORT REMOTE_ADDR[,REMOTE_ADDR] SIZE...
 * LOCAL_ADDR "::" makes a dual-stack socket, which reaches an IPv4 remote
 * through its IPv4-mapped address: on the wire that traffic is plain IPv4.
 * Prints "port N" once bound, sends when a line arrives on stdin. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "tests/e2e/net_args.h"
#include "tests/e2e/net_sockets.h"

enum { kMaxRemotes = 4 };

/* ::ffff:a.b.c.d, how an IPv6 socket names an IPv4 peer. */
static void mapToIpv6(union SocketAddress* address) {
    const struct sockaddr_in v4 = address->v4;
    memset(address, 0, sizeof *address);
    address->v6.sin6_family = AF_INET6;
    address->v6.sin6_port = v4.sin_port;
    address->v6.sin6_addr.s6_addr[10] = 0xff;
    address->v6.sin6_addr.s6_addr[11] = 0xff;
    memcpy(&address->v6.sin6_addr.s6_addr[12], &v4.sin_addr, 4);
}

int main(int argc, char** argv) {
    if (argc < 5) return usageError(argv[0], "LOCAL_ADDR REMOTE_PORT REMOTE_ADDR[,REMOTE_ADDR] SIZE...");
    union SocketAddress local;
    if (parseSocketAddress(argv[0], argv[1], "0", &local) != 0) return 2;
    union SocketAddress remotes[kMaxRemotes];
    int remoteCount = 0;
    for (char* text = strtok(argv[3], ","); text != NULL; text = strtok(NULL, ",")) {
        if (remoteCount == kMaxRemotes) {
            fprintf(stderr, "%s: more than %d remote addresses\n", argv[0], kMaxRemotes);
            return 2;
        }
        union SocketAddress* remote = &remotes[remoteCount++];
        if (parseSocketAddress(argv[0], text, argv[2], remote) != 0) return 2;
        if (local.any.sa_family == AF_INET6 && remote->any.sa_family == AF_INET) mapToIpv6(remote);
        if (remote->any.sa_family != local.any.sa_family) {
            fprintf(stderr, "%s: an IPv4 socket cannot reach %s\n", argv[0], text);
            return 2;
        }
    }

    const char* failed = NULL;
    const int fd = boundDatagramSocketAt(&local, &failed);
    if (fd < 0) return failedCall(failed);
    /* A lost echo ends the run with a complaint instead of a hang. */
    const struct timeval patience = {.tv_sec = 2};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience) != 0) return failedCall("setsockopt");
    announceSocketPort(&local);
    if (awaitGoAhead(argv[0]) != 0) return 1;

    static char payload[1500];
    static char echo[65536];
    memset(payload, 'x', sizeof payload);
    for (int r = 0; r < remoteCount; ++r) {
        for (int i = 4; i < argc; ++i) {
            const size_t size = (size_t)atol(argv[i]);
            if (size > sizeof payload) {
                fprintf(stderr, "%s: payload %zu too large\n", argv[0], size);
                return 2;
            }
            const union SocketAddress* remote = &remotes[r];
            if (sendto(fd, payload, size, 0, &remote->any, socketAddressLength(remote)) != (ssize_t)size) {
                return failedCall("sendto");
            }
            const ssize_t got = recv(fd, echo, sizeof echo, 0);
            if (got != (ssize_t)size) {
                fprintf(stderr, "%s: echo of %zu bytes came back as %zd\n", argv[0], size, got);
                return 1;
            }
        }
    }
    close(fd);
    return 0;
}
