/* The UDP peer of the attribution bench, in the peer namespace: one
 * dual-stack socket on [::]:PORT takes IPv4 and IPv6 datagrams; with --echo
 * it sends each one back. Prints "ready" once bound.
 *   attr_sink --port P [--echo] */
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "bench/attribution/attr_net.h"

int main(int argc, char** argv) {
    const int echo = argc == 4 && strcmp(argv[3], "--echo") == 0;
    if ((argc != 3 && !echo) || strcmp(argv[1], "--port") != 0) {
        fprintf(stderr, "usage: %s --port P [--echo]\n", argv[0]);
        return 2;
    }
    const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int off = 0;
    struct sockaddr_in6 local = {.sin6_family = AF_INET6, .sin6_port = htons((uint16_t)atoi(argv[2]))};
    if (fd < 0 || setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0 ||
        bind(fd, (struct sockaddr*)&local, sizeof local) != 0)
        return fail("bind");
    printf("ready\n");
    fflush(stdout);
    static char buffer[65536];
    for (;;) {
        struct sockaddr_storage from;
        socklen_t fromLength = sizeof from;
        const ssize_t got = recvfrom(fd, buffer, sizeof buffer, 0, (struct sockaddr*)&from, &fromLength);
        if (got >= 0 && echo) sendto(fd, buffer, (size_t)got, 0, (struct sockaddr*)&from, fromLength);
    }
}
