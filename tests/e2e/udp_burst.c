/* A program living a millisecond or two: sends COUNT datagrams of SIZE bytes
 * from a port the kernel chooses, prints "port N" and exits.
 *   e2e_udp_burst LOCAL_ADDR REMOTE_ADDR REMOTE_PORT COUNT SIZE */
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
    const int status = parseSenderCommand(argc, argv, 6, "LOCAL_ADDR REMOTE_ADDR REMOTE_PORT COUNT SIZE", &local, &remote);
    if (status != 0) return status;
    const char* failed = NULL;
    const int fd = boundDatagramSocket(&local, &failed);
    if (fd < 0) return failedCall(failed);
    static char payload[1472];
    const size_t size = (size_t)atol(argv[5]);
    if (size > sizeof payload) return usageError(argv[0], "SIZE of at most 1472");
    memset(payload, 'b', sizeof payload);
    for (long i = 0; i < atol(argv[4]); ++i) {
        if (sendto(fd, payload, size, 0, (struct sockaddr*)&remote, sizeof remote) != (ssize_t)size) return failedCall("sendto");
    }
    close(fd);
    announcePort(&local);
    return 0;
}
