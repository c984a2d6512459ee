/* An SCTP association, one-to-one style:
 *   attr_sctp --to ADDRESS:PORT --bytes N     sends N bytes, shuts down, waits for the peer's close
 *   attr_sctp --listen PORT                   in the peer: reads and drops each association in turn
 * The sender ends with the hold line ("sctp"); the listener prints "ready"
 * once listening. Without SCTP in the kernel either prints
 * "unsupported: REASON" and exits 77. */
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "bench/attribution/attr_net.h"

enum { kChunk = 16384, kUnsupported = 77 };

static int openSocket(int family) {
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_SCTP);
    if (fd < 0 && (errno == EPROTONOSUPPORT || errno == ESOCKTNOSUPPORT)) {
        printf("unsupported: socket(IPPROTO_SCTP): %s\n", strerror(errno));
        fflush(stdout);
        exit(kUnsupported);
    }
    return fd;
}

static int drainAssociations(long port) {
    const int listener = openSocket(AF_INET);
    const struct sockaddr_in local = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
    if (listener < 0 || bind(listener, (const struct sockaddr*)&local, sizeof local) != 0 || listen(listener, 16) != 0)
        return fail("listen");
    printf("ready\n");
    fflush(stdout);
    static char discard[65536];
    for (;;) {
        const int fd = accept(listener, NULL, NULL);
        if (fd < 0) continue;
        while (read(fd, discard, sizeof discard) > 0) {
        }
        close(fd);
    }
}

int main(int argc, char** argv) {
    const int64_t mainNs = wallNs();
    if (argc == 3 && strcmp(argv[1], "--listen") == 0) return drainAssociations(atol(argv[2]));
    struct sockaddr_storage to;
    socklen_t toLength = 0;
    long bytes = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--to") == 0) {
            if (parseEndpoint(argv[i + 1], &to, &toLength) != 0) toLength = 0;
        } else if (strcmp(argv[i], "--bytes") == 0) {
            bytes = atol(argv[i + 1]);
        } else {
            bytes = -1;
        }
    }
    if (toLength == 0 || bytes < 0 || argc % 2 == 0) {
        fprintf(stderr, "usage: %s --to ADDRESS:PORT --bytes N | --listen PORT\n", argv[0]);
        return 2;
    }
    const int64_t startNs = wallNs();
    const int fd = openSocket(to.ss_family);
    if (fd < 0) return fail("socket");
    if (connect(fd, (struct sockaddr*)&to, toLength) != 0) return fail("connect");
    static const char data[kChunk];
    for (long done = 0; done < bytes;) {
        const long size = bytes - done < kChunk ? bytes - done : kChunk;
        const ssize_t wrote = write(fd, data, (size_t)size);
        if (wrote <= 0) return fail("write");
        done += wrote;
    }
    return finishStream(fd, "sctp", startNs, mainNs);
}
