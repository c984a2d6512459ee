#include "tests/e2e/net_args.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int usageError(const char* program, const char* arguments) {
    fprintf(stderr, "usage: %s %s\n", program, arguments);
    return 2;
}

int failedCall(const char* what) {
    perror(what);
    return 1;
}

int parseAddressPort(const char* program, const char* address, const char* port, struct sockaddr_in* out) {
    memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = htons((unsigned short)atoi(port));
    if (inet_pton(AF_INET, address, &out->sin_addr) != 1) {
        fprintf(stderr, "%s: bad address\n", program);
        return 2;
    }
    return 0;
}

socklen_t socketAddressLength(const union SocketAddress* address) {
    return address->any.sa_family == AF_INET6 ? sizeof address->v6 : sizeof address->v4;
}

int parseSocketAddress(const char* program, const char* address, const char* port, union SocketAddress* out) {
    memset(out, 0, sizeof *out);
    if (strchr(address, ':') == NULL) return parseAddressPort(program, address, port, &out->v4);
    out->v6.sin6_family = AF_INET6;
    out->v6.sin6_port = htons((unsigned short)atoi(port));
    if (inet_pton(AF_INET6, address, &out->v6.sin6_addr) != 1) {
        fprintf(stderr, "%s: bad address\n", program);
        return 2;
    }
    return 0;
}

int parseLocalRemote(const char* program, char** arguments, struct sockaddr_in* local, struct sockaddr_in* remote) {
    const int status = parseAddressPort(program, arguments[0], "0", local);
    return status != 0 ? status : parseAddressPort(program, arguments[1], arguments[2], remote);
}

int parseSenderCommand(int argc, char** argv, int expected, const char* usage, struct sockaddr_in* local,
                       struct sockaddr_in* remote) {
    if (argc != expected) return usageError(argv[0], usage);
    return parseLocalRemote(argv[0], argv + 1, local, remote);
}

void announcePort(const struct sockaddr_in* local) {
    printf("port %u\n", ntohs(local->sin_port));
    fflush(stdout);
}

void announceSocketPort(const union SocketAddress* local) {
    printf("port %u\n", ntohs(local->any.sa_family == AF_INET6 ? local->v6.sin6_port : local->v4.sin_port));
    fflush(stdout);
}

void announceReady(void) {
    printf("ready\n");
    fflush(stdout);
}

int awaitGoAhead(const char* program) {
    char line[64];
    if (fgets(line, sizeof line, stdin) != NULL) return 0;
    fprintf(stderr, "%s: no go-ahead\n", program);
    return 1;
}

int announcePortAndWait(const char* program, const struct sockaddr_in* local) {
    announcePort(local);
    return awaitGoAhead(program);
}

void reportSent(unsigned long long count, double seconds) {
    printf("sent %llu %.3f\n", count, seconds);
    fflush(stdout);
}
