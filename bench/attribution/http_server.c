/* The server side of the attribution bench's downloads, in the peer
 * namespace: one thread per connection reads a request line "BYTES MS" and
 * sends BYTES in 16 KiB writes spread evenly over MS milliseconds, then
 * closes. Prints "ready" once listening.
 *   attr_http_server --listen ENDPOINT */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "bench/attribution/attr_net.h"

enum { kChunk = 16384 };

static void* serve(void* argument) {
    const int fd = (int)(intptr_t)argument;
    char request[64];
    size_t have = 0;
    while (have + 1 < sizeof request && memchr(request, '\n', have) == NULL) {
        const ssize_t got = read(fd, request + have, sizeof request - 1 - have);
        if (got <= 0) break;
        have += (size_t)got;
    }
    request[have] = '\0';
    long bytes = 0;
    long ms = 0;
    if (sscanf(request, "%ld %ld", &bytes, &ms) == 2 && bytes >= 0) {
        static const char data[kChunk];
        const long chunks = (bytes + kChunk - 1) / kChunk;
        const int64_t first = wallNs();
        const int64_t step = chunks > 1 ? ms * 1000000 / (chunks - 1) : 0;
        for (long i = 0; i < chunks; ++i) {
            sleepUntilWallNs(first + i * step);
            const long size = i + 1 < chunks ? kChunk : bytes - i * kChunk;
            for (long done = 0; done < size;) {
                const ssize_t wrote = write(fd, data + done, (size_t)(size - done));
                if (wrote <= 0) goto end;
                done += wrote;
            }
        }
    }
end:
    close(fd);
    return NULL;
}

int main(int argc, char** argv) {
    struct sockaddr_storage address;
    socklen_t length = 0;
    if (argc != 3 || strcmp(argv[1], "--listen") != 0 || parseEndpoint(argv[2], &address, &length) != 0) {
        fprintf(stderr, "usage: %s --listen ENDPOINT\n", argv[0]);
        return 2;
    }
    const int listener = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(listener, (struct sockaddr*)&address, length) != 0 || listen(listener, 128) != 0)
        return fail("listen");
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        const int fd = accept(listener, NULL, NULL);
        if (fd < 0) continue;
        pthread_t thread;
        if (pthread_create(&thread, NULL, serve, (void*)(intptr_t)fd) != 0) {
            close(fd);
            continue;
        }
        pthread_detach(thread);
    }
}
