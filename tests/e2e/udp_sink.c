/* Receives and discards UDP datagrams, so none of them draws an ICMP
 * "port unreachable" answer:  e2e_udp_sink ADDR PORT
 * Prints "ready" once bound. */
#include <sys/socket.h>

#include "tests/e2e/net_args.h"
#include "tests/e2e/net_sockets.h"

int main(int argc, char** argv) {
    if (argc != 3) return usageError(argv[0], "ADDR PORT");
    struct sockaddr_in address;
    if (parseAddressPort(argv[0], argv[1], argv[2], &address) != 0) return 2;
    const int fd = boundDatagramSocket(&address, NULL);
    if (fd < 0) return failedCall("bind");
    announceReady();
    static char buffer[65536];
    for (;;) {
        if (recv(fd, buffer, sizeof buffer, 0) < 0) return failedCall("recv");
    }
}
