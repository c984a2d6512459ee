/* An HTTP-like download of the attribution bench: connects to the server,
 * asks for BYTES to be sent over MS milliseconds, reads until the server
 * closes, stays until it has lived LIFE milliseconds, and ends with its hold
 * line (attr_net.h).
 *   attr_fetch --server ENDPOINT --bytes N --ms MS [--life-ms LIFE] [--bind-port P] */
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "bench/attribution/attr_net.h"

int main(int argc, char** argv) {
    const int64_t mainNs = wallNs();
    struct sockaddr_storage server;
    socklen_t serverLength = 0;
    long bytes = -1;
    long ms = 0;
    long bindPort = -1;
    long lifeMs = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--server") == 0) {
            if (parseEndpoint(argv[i + 1], &server, &serverLength) != 0) serverLength = 0;
        } else if (strcmp(argv[i], "--bytes") == 0) {
            bytes = atol(argv[i + 1]);
        } else if (strcmp(argv[i], "--ms") == 0) {
            ms = atol(argv[i + 1]);
        } else if (strcmp(argv[i], "--life-ms") == 0) {
            lifeMs = atol(argv[i + 1]);
        } else if (strcmp(argv[i], "--bind-port") == 0) {
            bindPort = atol(argv[i + 1]);
        } else {
            bytes = -1;
        }
    }
    if (serverLength == 0 || bytes < 0 || ms < 0 || argc % 2 == 0) {
        fprintf(stderr, "usage: %s --server ENDPOINT --bytes N --ms MS [--life-ms LIFE] [--bind-port P]\n", argv[0]);
        return 2;
    }
    const int64_t startNs = wallNs();
    const int fd = socket(server.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail("socket");
    if (bindPort >= 0) {
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        struct sockaddr_in local = {.sin_family = AF_INET, .sin_port = htons((uint16_t)bindPort)};
        if (bind(fd, (struct sockaddr*)&local, sizeof local) != 0) return fail("bind");
    }
    if (connect(fd, (struct sockaddr*)&server, serverLength) != 0) return fail("connect");
    char request[64];
    const int size = snprintf(request, sizeof request, "%ld %ld\n", bytes, ms);
    if (write(fd, request, (size_t)size) != size) return fail("write");
    static char buffer[65536];
    long received = 0;
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) return fail("read");
        if (got == 0) break;
        received += got;
    }
    if (received != bytes) {
        fprintf(stderr, "%s: %ld of %ld bytes\n", argv[0], received, bytes);
        return 1;
    }
    unsigned port = 0;
    const char* families = "4";
    if (socketHolding(fd, &port, &families) != 0) return fail("getsockname");
    sleepUntilWallNs(mainNs + lifeMs * 1000000);
    close(fd);
    printHold("tcp", families, port, startNs, mainNs);
    return 0;
}
