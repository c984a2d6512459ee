/* An idle UDP socket of the attribution bench, held for a while and closed:
 *   attr_udp_hold --port P --family 4|6 [--v6only] --ms MS
 * The program that must NOT be credited: an IPv6-only holder of a port that
 * another program sends IPv4 from, or an idle port a later fragment's payload
 * happens to name. Prints "ready" once bound, then the hold line at the end. */
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "bench/attribution/attr_net.h"

int main(int argc, char** argv) {
    const int64_t mainNs = wallNs();
    long port = -1;
    int ipv6 = 0;
    int v6only = 0;
    double ms = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--v6only") == 0) {
            v6only = 1;
        } else if (i + 1 < argc && strcmp(argv[i], "--port") == 0) {
            port = atol(argv[++i]);
        } else if (i + 1 < argc && strcmp(argv[i], "--family") == 0) {
            ipv6 = strcmp(argv[++i], "6") == 0;
        } else if (i + 1 < argc && strcmp(argv[i], "--ms") == 0) {
            ms = atof(argv[++i]);
        } else {
            port = -1;
            break;
        }
    }
    if (port < 1 || port > 65535 || ms <= 0) {
        fprintf(stderr, "usage: %s --port P --family 4|6 [--v6only] --ms MS\n", argv[0]);
        return 2;
    }
    const int64_t startNs = wallNs();
    const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail("socket");
    int bound;
    if (ipv6) {
        if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0) return fail("IPV6_V6ONLY");
        struct sockaddr_in6 local = {.sin6_family = AF_INET6, .sin6_port = htons((uint16_t)port)};
        bound = bind(fd, (struct sockaddr*)&local, sizeof local);
    } else {
        struct sockaddr_in local = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
        bound = bind(fd, (struct sockaddr*)&local, sizeof local);
    }
    if (bound != 0) return fail("bind");
    printf("ready\n");
    fflush(stdout);
    sleepUntilWallNs(wallNs() + (int64_t)(ms * 1e6));
    unsigned held = 0;
    const char* families = "4";
    if (socketHolding(fd, &held, &families) != 0) return fail("getsockname");
    printHold("udp", families, held, startNs, mainNs);
    return 0;
}
