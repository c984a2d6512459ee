/* Receives and discards UDP datagrams, so none of them draws an ICMP
 * "port unreachable" answer:  e2e_udp_sink ADDR PORT
 * Prints "ready" once bound. */
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
    static char buffer[65536];
    for (;;) {
        if (recv(fd, buffer, sizeof buffer, 0) < 0) {
            perror("recv");
            return 1;
        }
    }
}
