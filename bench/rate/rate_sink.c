/* Holds the destination port of the rate measurement without reading it:
 * datagrams that fill its buffer are dropped quietly, and the port being
 * bound keeps the peer from answering each one with ICMP "port unreachable".
 * Reading them would cost a core that the measurement needs.
 *   rate_sink ADDR PORT        (prints "ready" once bound) */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s ADDR PORT\n", argv[0]);
        return 2;
    }
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons((unsigned short)atoi(argv[2]))};
    if (inet_pton(AF_INET, argv[1], &address.sin_addr) != 1) {
        fprintf(stderr, "%s: bad address\n", argv[0]);
        return 2;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0 || bind(fd, (struct sockaddr*)&address, sizeof address) != 0) {
        perror("bind");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    for (;;) pause();
}
