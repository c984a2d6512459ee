/* One SCTP association carrying a known number of bytes one way:
 *   e2e_sctp_transfer server ADDR PORT
 *   e2e_sctp_transfer client LOCAL_ADDR REMOTE_ADDR REMOTE_PORT BYTES
 * The server prints "ready" once it listens and reads every association to
 * its end. The client prints "port N" once bound, sends when a line arrives
 * on stdin, then closes. Either exits 3 when the kernel has no SCTP. */
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/net_args.h"
#include "tests/e2e/net_sockets.h"

enum { kNoSctp = 3 };

static int sctpSocket(void) {
    const int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_SCTP);
    if (fd < 0) perror("socket");
    return fd;
}

static int noSctp(void) { return errno == EPROTONOSUPPORT || errno == ESOCKTNOSUPPORT ? kNoSctp : 1; }

static int serve(const char* program, const char* address, const char* port) {
    struct sockaddr_in local;
    if (parseAddressPort(program, address, port, &local) != 0) return 2;
    const int fd = sctpSocket();
    if (fd < 0) return noSctp();
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, (struct sockaddr*)&local, sizeof local) != 0) return failedCall("bind");
    if (listen(fd, 4) != 0) return failedCall("listen");
    announceReady();
    static char buffer[65536];
    for (;;) {
        const int peer = accept(fd, NULL, NULL);
        if (peer < 0) return failedCall("accept");
        long received = 0;
        if (readToEnd(peer, buffer, sizeof buffer, &received) != 0) return failedCall("read");
        close(peer);
    }
}

static int sendAll(const char* program, char** arguments) {
    struct sockaddr_in local;
    struct sockaddr_in remote;
    if (parseLocalRemote(program, arguments, &local, &remote) != 0) return 2;
    const long bytes = atol(arguments[3]);
    const int fd = sctpSocket();
    if (fd < 0) return noSctp();
    const char* failed = bindLocal(fd, &local);
    if (failed != NULL) return failedCall(failed);
    if (announcePortAndWait(program, &local) != 0) return 1;
    if (connect(fd, (struct sockaddr*)&remote, sizeof remote) != 0) return failedCall("connect");
    static char buffer[16384];
    memset(buffer, 's', sizeof buffer);
    if (writeRepeated(fd, buffer, sizeof buffer, bytes) != 0) return failedCall("write");
    close(fd);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "server") == 0) return serve(argv[0], argv[2], argv[3]);
    if (argc == 6 && strcmp(argv[1], "client") == 0) return sendAll(argv[0], argv + 2);
    return usageError(argv[0], "server ADDR PORT | client LOCAL_ADDR REMOTE_ADDR REMOTE_PORT BYTES");
}
