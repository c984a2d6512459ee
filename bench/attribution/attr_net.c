#include "bench/attribution/attr_net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int parseEndpoint(const char* text, struct sockaddr_storage* out, socklen_t* length) {
    char host[INET6_ADDRSTRLEN + 2];
    const char* colon = strrchr(text, ':');
    if (colon == NULL || (size_t)(colon - text) >= sizeof host) return -1;
    char* end = NULL;
    const long port = strtol(colon + 1, &end, 10);
    if (*end != '\0' || port < 0 || port > 65535) return -1;
    memcpy(host, text, (size_t)(colon - text));
    host[colon - text] = '\0';
    memset(out, 0, sizeof *out);
    if (host[0] == '[') {
        const size_t size = strlen(host);
        if (size < 2 || host[size - 1] != ']') return -1;
        host[size - 1] = '\0';
        struct sockaddr_in6* v6 = (struct sockaddr_in6*)out;
        if (inet_pton(AF_INET6, host + 1, &v6->sin6_addr) != 1) return -1;
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons((uint16_t)port);
        *length = sizeof *v6;
        return 0;
    }
    struct sockaddr_in* v4 = (struct sockaddr_in*)out;
    if (inet_pton(AF_INET, host, &v4->sin_addr) != 1) return -1;
    v4->sin_family = AF_INET;
    v4->sin_port = htons((uint16_t)port);
    *length = sizeof *v4;
    return 0;
}

int64_t wallNs(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

void sleepUntilWallNs(int64_t atNs) {
    const struct timespec until = {(time_t)(atNs / 1000000000), (long)(atNs % 1000000000)};
    while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &until, NULL) == EINTR) {
    }
}

int socketHolding(int fd, unsigned* port, const char** families) {
    struct sockaddr_storage local;
    socklen_t length = sizeof local;
    if (getsockname(fd, (struct sockaddr*)&local, &length) != 0) return -1;
    if (local.ss_family == AF_INET) {
        *port = ntohs(((struct sockaddr_in*)&local)->sin_port);
        *families = "4";
        return 0;
    }
    int v6only = 0;
    length = sizeof v6only;
    if (getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &length) != 0) return -1;
    *port = ntohs(((struct sockaddr_in6*)&local)->sin6_port);
    *families = v6only ? "6" : "46";
    return 0;
}

static void printHoldAt(const char* protocol, const char* families, const char* place, int64_t startNs,
                        int64_t mainNs) {
    char exe[PATH_MAX];
    const ssize_t size = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[size > 0 ? size : 0] = '\0';
    const int64_t now = wallNs();
    printf("hold %s %s %s %lld %lld %lld %d %s\n", protocol, families, place, (long long)startNs, (long long)now,
           (long long)(now - mainNs), (int)getpid(), exe);
    fflush(stdout);
}

void printHold(const char* protocol, const char* families, unsigned port, int64_t startNs, int64_t mainNs) {
    char place[16];
    snprintf(place, sizeof place, "%u", port);
    printHoldAt(protocol, families, place, startNs, mainNs);
}

int printRawHold(int protocol, int fd, int64_t startNs, int64_t mainNs) {
    struct sockaddr_in local;
    socklen_t length = sizeof local;
    char place[INET_ADDRSTRLEN];
    if (getsockname(fd, (struct sockaddr*)&local, &length) != 0 || local.sin_family != AF_INET ||
        inet_ntop(AF_INET, &local.sin_addr, place, sizeof place) == NULL)
        return -1;
    char name[16];
    snprintf(name, sizeof name, "raw:%d", protocol);
    printHoldAt(name, "4", place, startNs, mainNs);
    return 0;
}

int fail(const char* what) {
    perror(what);
    return 1;
}

int parseBatchOptions(int argc, char** argv, long defaultBatch, long maxBatch, long maxPayload,
                      struct BatchOptions* options) {
    *options = (struct BatchOptions){.size = 200, .batch = defaultBatch};
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--to") == 0) {
            if (parseEndpoint(argv[i + 1], &options->to, &options->toLength) != 0) options->toLength = 0;
        } else if (strcmp(argv[i], "--count") == 0) {
            options->count = atol(argv[i + 1]);
        } else if (strcmp(argv[i], "--size") == 0) {
            options->size = atol(argv[i + 1]);
        } else if (strcmp(argv[i], "--batch") == 0) {
            options->batch = atol(argv[i + 1]);
        } else if (strcmp(argv[i], "--spread-ms") == 0) {
            options->spreadMs = atof(argv[i + 1]);
        } else {
            options->count = 0;
        }
    }
    if (options->toLength == 0 || options->count < 1 || options->size < 1 || options->size > maxPayload ||
        options->batch < 1 || options->batch > maxBatch || argc % 2 == 0) {
        fprintf(stderr, "usage: %s --to ENDPOINT --count N [--size BYTES] [--batch B] [--spread-ms MS]\n", argv[0]);
        return -1;
    }
    return 0;
}

int finishStream(int fd, const char* protocol, int64_t startNs, int64_t mainNs) {
    unsigned port = 0;
    const char* families = "4";
    if (socketHolding(fd, &port, &families) != 0) return fail("getsockname");
    if (shutdown(fd, SHUT_WR) != 0) return fail("shutdown");
    char rest[64];
    while (read(fd, rest, sizeof rest) > 0) {
    }
    close(fd);
    printHold(protocol, families, port, startNs, mainNs);
    return 0;
}
