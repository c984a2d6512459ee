/* A short-lived TCP client, as a command-line download is: connects from a
 * port the kernel chooses at once, sends SEND_BYTES, half-closes, reads the
 * answer to its end, prints "port N" and exits. Nothing waits for a monitor:
 *   e2e_tcp_fetch LOCAL_ADDR REMOTE_ADDR REMOTE_PORT SEND_BYTES */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/net_args.h"
#include "tests/e2e/net_sockets.h"

int main(int argc, char** argv) {
    struct sockaddr_in local;
    struct sockaddr_in remote;
    const int status = parseSenderCommand(argc, argv, 5, "LOCAL_ADDR REMOTE_ADDR REMOTE_PORT SEND_BYTES", &local, &remote);
    if (status != 0) return status;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return failedCall("socket");
    const char* failed = bindLocal(fd, &local);
    if (failed != NULL) return failedCall(failed);
    if (connect(fd, (struct sockaddr*)&remote, sizeof remote) != 0) return failedCall("connect");
    static char buffer[65536];
    memset(buffer, 'c', sizeof buffer);
    if (writeRepeated(fd, buffer, sizeof buffer, atol(argv[4])) != 0) return failedCall("write");
    shutdown(fd, SHUT_WR);
    long received = 0;
    if (readToEnd(fd, buffer, sizeof buffer, &received) != 0) return failedCall("read");
    close(fd);
    announcePort(&local);
    return 0;
}
