/* Sends one UDP datagram per payload size given, from a socket bound before
 * the monitor is told to look, so every datagram has a known owner:
 *   e2e_udp_sender LOCAL_ADDR REMOTE_ADDR REMOTE_PORT SIZE...
 * Prints "port N" once bound, sends when a line arrives on stdin.
 *
 * Built as e2e_udp_flow (E2E_STAY_UNTIL_INPUT_ENDS) it then prints
 * "sent COUNT SECONDS" and keeps its socket until its stdin ends, so a monitor
 * that accounts once a second still finds the owner of every datagram. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/net_args.h"
#include "tests/e2e/net_sockets.h"

int main(int argc, char** argv) {
    if (argc < 5) return usageError(argv[0], "LOCAL_ADDR REMOTE_ADDR REMOTE_PORT SIZE...");
    struct sockaddr_in local;
    struct sockaddr_in remote;
    if (parseLocalRemote(argv[0], argv + 1, &local, &remote) != 0) return 2;
    const char* failed = NULL;
    const int fd = boundDatagramSocket(&local, &failed);
    if (fd < 0) return failedCall(failed);
    if (announcePortAndWait(argv[0], &local) != 0) return 1;

    static char payload[65507];
    memset(payload, 'u', sizeof payload);
    for (int i = 4; i < argc; ++i) {
        const size_t size = (size_t)atol(argv[i]);
        if (size > sizeof payload) {
            fprintf(stderr, "%s: payload %zu too large\n", argv[0], size);
            return 2;
        }
        if (sendto(fd, payload, size, 0, (struct sockaddr*)&remote, sizeof remote) != (ssize_t)size) return failedCall("sendto");
    }
#ifdef E2E_STAY_UNTIL_INPUT_ENDS
    reportSent((unsigned long long)(argc - 4), 0.0);
    char line[64];
    while (fgets(line, sizeof line, stdin) != NULL) {
    }
#endif
    close(fd);
    return 0;
}
