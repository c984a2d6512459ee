/* A file sent down a TCP connection without passing through the program's
 * memory:
 *   attr_file_send --to ENDPOINT --bytes N --via sendfile|splice
 * Fills an unlinked temporary file with N bytes, connects, and hands the
 * file to the kernel with sendfile(2), or moves it file -> pipe -> socket
 * with splice(2). Then half-closes and waits for the peer's close
 * (compare_tcp_sink closes once it has read everything). Ends with the hold
 * line. */
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include "bench/attribution/attr_net.h"

enum { kChunk = 65536 };

static int temporaryFile(long bytes) {
    char path[] = "/tmp/attr_file_send.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return -1;
    unlink(path);
    static char data[kChunk];
    memset(data, 'f', sizeof data);
    for (long done = 0; done < bytes;) {
        const long size = bytes - done < kChunk ? bytes - done : kChunk;
        const ssize_t wrote = write(fd, data, (size_t)size);
        if (wrote <= 0) return -1;
        done += wrote;
    }
    return fd;
}

static int bySendfile(int file, int socketFd, long bytes) {
    off_t offset = 0;
    while (offset < bytes) {
        if (sendfile(socketFd, file, &offset, (size_t)(bytes - offset)) <= 0) return -1;
    }
    return 0;
}

static int bySplice(int file, int socketFd, long bytes) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    loff_t offset = 0;
    while (offset < bytes) {
        const long want = bytes - offset < kChunk ? bytes - offset : kChunk;
        ssize_t inPipe = splice(file, &offset, pipeFds[1], NULL, (size_t)want, SPLICE_F_MOVE);
        if (inPipe <= 0) return -1;
        while (inPipe > 0) {
            const ssize_t moved = splice(pipeFds[0], NULL, socketFd, NULL, (size_t)inPipe, SPLICE_F_MOVE | SPLICE_F_MORE);
            if (moved <= 0) return -1;
            inPipe -= moved;
        }
    }
    close(pipeFds[0]);
    close(pipeFds[1]);
    return 0;
}

int main(int argc, char** argv) {
    const int64_t mainNs = wallNs();
    struct sockaddr_storage to;
    socklen_t toLength = 0;
    long bytes = -1;
    const char* via = "";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--to") == 0) {
            if (parseEndpoint(argv[i + 1], &to, &toLength) != 0) toLength = 0;
        } else if (strcmp(argv[i], "--bytes") == 0) {
            bytes = atol(argv[i + 1]);
        } else if (strcmp(argv[i], "--via") == 0) {
            via = argv[i + 1];
        } else {
            bytes = -1;
        }
    }
    const int spliced = strcmp(via, "splice") == 0;
    if (toLength == 0 || bytes < 1 || (!spliced && strcmp(via, "sendfile") != 0) || argc % 2 == 0) {
        fprintf(stderr, "usage: %s --to ENDPOINT --bytes N --via sendfile|splice\n", argv[0]);
        return 2;
    }
    const int file = temporaryFile(bytes);
    if (file < 0) return fail("temporary file");
    const int64_t startNs = wallNs();
    const int fd = socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail("socket");
    if (connect(fd, (struct sockaddr*)&to, toLength) != 0) return fail("connect");
    if ((spliced ? bySplice(file, fd, bytes) : bySendfile(file, fd, bytes)) != 0) return fail(via);
    return finishStream(fd, "tcp", startNs, mainNs);
}
