/* Receives UDP datagrams, so none of them draws an ICMP "port unreachable"
 * answer, and with "echo" sends each one back to where it came from:
 *   e2e_udp_sink ADDR PORT [echo]
 * ADDR of either family; "::" takes IPv4 and IPv6 alike. Prints "ready" once
 * bound. */
#include <string.h>
#include <sys/socket.h>

#include "tests/e2e/net_args.h"
#include "tests/e2e/net_sockets.h"

int main(int argc, char** argv) {
    if (argc != 3 && !(argc == 4 && strcmp(argv[3], "echo") == 0)) return usageError(argv[0], "ADDR PORT [echo]");
    const int echo = argc == 4;
    union SocketAddress address;
    if (parseSocketAddress(argv[0], argv[1], argv[2], &address) != 0) return 2;
    const int fd = boundDatagramSocketAt(&address, NULL);
    if (fd < 0) return failedCall("bind");
    announceReady();
    static char buffer[65536];
    for (;;) {
        union SocketAddress peer;
        socklen_t peerLength = sizeof peer;
        const ssize_t got = recvfrom(fd, buffer, sizeof buffer, 0, &peer.any, &peerLength);
        if (got < 0) return failedCall("recvfrom");
        if (echo && sendto(fd, buffer, (size_t)got, 0, &peer.any, peerLength) != got) return failedCall("sendto");
    }
}
