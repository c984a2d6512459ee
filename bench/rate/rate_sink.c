/* Holds the destination port of the rate measurement without reading it:
 * datagrams that fill its buffer are dropped quietly, and the port being
 * bound keeps the peer from answering each one with ICMP "port unreachable".
 * Reading them would cost a core that the measurement needs.
 *   rate_sink ADDR PORT        (prints "ready" once bound) */
#include <unistd.h>

#include "tests/e2e/net_args.h"
#include "tests/e2e/net_sockets.h"

int main(int argc, char** argv) {
    if (argc != 3) return usageError(argv[0], "ADDR PORT");
    struct sockaddr_in address;
    if (parseAddressPort(argv[0], argv[1], argv[2], &address) != 0) return 2;
    if (boundDatagramSocket(&address, NULL) < 0) return failedCall("bind");
    announceReady();
    for (;;) pause();
}
