/* The UDP sender of the attribution bench:
 *   attr_udp_send --to ENDPOINT [--to ENDPOINT] [--family 4|6|dual] [--bind-port P] [--fd N]
 *                 [--count N] [--size BYTES] [--spread-ms MS] [--echo] [--fill-port Q] [--linger-ms MS]
 * One destination: a connected socket (what nethogs can match). Two: one
 * unconnected socket, datagrams alternating between them. --fd: a connected
 * socket inherited from the parent instead of a new one. The COUNT datagrams
 * are spread evenly over MS. --echo: the peer sends every datagram back; they
 * are read before the end. --fill-port: every pair of payload bytes is Q, so a
 * later fragment read as if it began with ports shows port Q. Ends with the
 * hold line (attr_net.h). Built twice, as attr_udp_send and attr_udp_send_b,
 * so that two programs can take turns on one port. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "bench/attribution/attr_net.h"

enum { kMaxPayload = 65000 };

struct Options {
    struct sockaddr_storage to[2];
    socklen_t toLength[2];
    int destinations;
    const char* family;
    long bindPort;
    int fd;
    long count;
    long size;
    double spreadMs;
    int echo;
    long fillPort;
    double lingerMs;
};

static int parse(int argc, char** argv, struct Options* o) {
    memset(o, 0, sizeof *o);
    o->bindPort = -1;
    o->fd = -1;
    o->count = 1;
    o->size = 100;
    o->fillPort = -1;
    for (int i = 1; i < argc; ++i) {
        const char* name = argv[i];
        if (strcmp(name, "--echo") == 0) {
            o->echo = 1;
            continue;
        }
        if (i + 1 >= argc) return -1;
        const char* value = argv[++i];
        if (strcmp(name, "--to") == 0) {
            if (o->destinations == 2 || parseEndpoint(value, &o->to[o->destinations], &o->toLength[o->destinations]) != 0)
                return -1;
            ++o->destinations;
        } else if (strcmp(name, "--family") == 0) {
            o->family = value;
        } else if (strcmp(name, "--bind-port") == 0) {
            o->bindPort = atol(value);
        } else if (strcmp(name, "--fd") == 0) {
            o->fd = atoi(value);
        } else if (strcmp(name, "--count") == 0) {
            o->count = atol(value);
        } else if (strcmp(name, "--size") == 0) {
            o->size = atol(value);
        } else if (strcmp(name, "--spread-ms") == 0) {
            o->spreadMs = atof(value);
        } else if (strcmp(name, "--fill-port") == 0) {
            o->fillPort = atol(value);
        } else if (strcmp(name, "--linger-ms") == 0) {
            o->lingerMs = atof(value);
        } else {
            return -1;
        }
    }
    if (o->size < 1 || o->size > kMaxPayload || o->count < 1) return -1;
    return o->fd >= 0 || o->destinations > 0 ? 0 : -1;
}

/* An IPv4 destination for an IPv6 socket: the mapped form ::ffff:a.b.c.d. */
static void mapToIpv6(struct sockaddr_storage* address, socklen_t* length) {
    if (address->ss_family != AF_INET) return;
    const struct sockaddr_in v4 = *(struct sockaddr_in*)address;
    struct sockaddr_in6* v6 = (struct sockaddr_in6*)address;
    memset(v6, 0, sizeof *v6);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = v4.sin_port;
    v6->sin6_addr.s6_addr[10] = 0xff;
    v6->sin6_addr.s6_addr[11] = 0xff;
    memcpy(&v6->sin6_addr.s6_addr[12], &v4.sin_addr, 4);
    *length = sizeof *v6;
}

static int openSocket(struct Options* o) {
    const char* family = o->family ? o->family : (o->to[0].ss_family == AF_INET6 ? "6" : "4");
    const int ipv6 = strcmp(family, "4") != 0;
    const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (ipv6) {
        const int v6only = strcmp(family, "6") == 0;
        if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0) return -1;
        for (int i = 0; i < o->destinations; ++i) mapToIpv6(&o->to[i], &o->toLength[i]);
    }
    if (o->bindPort >= 0) {
        struct sockaddr_storage local;
        memset(&local, 0, sizeof local);
        socklen_t length;
        if (ipv6) {
            ((struct sockaddr_in6*)&local)->sin6_family = AF_INET6;
            ((struct sockaddr_in6*)&local)->sin6_port = htons((uint16_t)o->bindPort);
            length = sizeof(struct sockaddr_in6);
        } else {
            ((struct sockaddr_in*)&local)->sin_family = AF_INET;
            ((struct sockaddr_in*)&local)->sin_port = htons((uint16_t)o->bindPort);
            length = sizeof(struct sockaddr_in);
        }
        if (bind(fd, (struct sockaddr*)&local, length) != 0) return -1;
    }
    if (o->destinations == 1 && connect(fd, (struct sockaddr*)&o->to[0], o->toLength[0]) != 0) return -1;
    return fd;
}

static long readEchoes(int fd, char* buffer, int wait) {
    long got = 0;
    struct pollfd ready = {fd, POLLIN, 0};
    while (poll(&ready, 1, wait ? 100 : 0) > 0) {
        if (recv(fd, buffer, kMaxPayload, MSG_DONTWAIT) < 0) break;
        ++got;
    }
    return got;
}

int main(int argc, char** argv) {
    const int64_t mainNs = wallNs();
    struct Options o;
    if (parse(argc, argv, &o) != 0) {
        fprintf(stderr,
                "usage: %s --to ENDPOINT [--to ENDPOINT] [--family 4|6|dual] [--bind-port P] [--fd N] [--count N] "
                "[--size BYTES] [--spread-ms MS] [--echo] [--fill-port Q] [--linger-ms MS]\n",
                argv[0]);
        return 2;
    }
    const int64_t startNs = wallNs();
    const int fd = o.fd >= 0 ? o.fd : openSocket(&o);
    if (fd < 0) return fail("socket");

    static char payload[kMaxPayload];
    static char echoes[kMaxPayload];
    for (long i = 0; i < o.size; ++i) {
        payload[i] = o.fillPort >= 0 ? (char)((i % 2 == 0) ? (o.fillPort >> 8) & 0xff : o.fillPort & 0xff) : 'a';
    }
    const int64_t firstNs = wallNs();
    const int64_t stepNs = o.count > 1 ? (int64_t)(o.spreadMs * 1e6) / (o.count - 1) : 0;
    long echoed = 0;
    for (long i = 0; i < o.count; ++i) {
        sleepUntilWallNs(firstNs + i * stepNs);
        const int to = o.destinations == 2 ? (int)(i % 2) : -1;
        const ssize_t sent = to < 0 ? send(fd, payload, (size_t)o.size, 0)
                                    : sendto(fd, payload, (size_t)o.size, 0, (struct sockaddr*)&o.to[to], o.toLength[to]);
        if (sent != o.size) return fail("send");
        if (o.echo) echoed += readEchoes(fd, echoes, 0);
    }
    while (o.echo && echoed < o.count) {
        const long got = readEchoes(fd, echoes, 1);
        if (got == 0) break;
        echoed += got;
    }
    if (o.lingerMs > 0) sleepUntilWallNs(wallNs() + (int64_t)(o.lingerMs * 1e6));
    unsigned port = 0;
    const char* families = "4";
    if (socketHolding(fd, &port, &families) != 0) return fail("getsockname");
    printHold("udp", families, port, startNs, mainNs);
    return 0;
}
