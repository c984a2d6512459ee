#pragma once
/* Socket set-up and whole-stream transfers shared by the small traffic
 * programs. Failures leave errno as the failed call set it, for perror. */
#include <netinet/in.h>
#include <stddef.h>

#include "tests/e2e/net_args.h"

/* Binds `fd` to `local` and reads back the port the kernel chose into it.
 * NULL, or the name of the call that failed. */
const char* bindLocal(int fd, struct sockaddr_in* local);
const char* bindSocketAddress(int fd, union SocketAddress* local);

/* A socket of `type` for the family of `address`. An IPv6 one is dual-stack
 * (IPV6_V6ONLY off, whatever the system's default), so one bound to :: also
 * carries IPv4 through IPv4-mapped addresses. -1 when a call fails. */
int socketFor(const union SocketAddress* address, int type);

/* A UDP socket bound to `address`, with the port the kernel chose read back
 * into it; or -1, and with `failed` the name of the call that failed. */
int boundDatagramSocket(struct sockaddr_in* address, const char** failed);
int boundDatagramSocketAt(union SocketAddress* address, const char** failed);

/* A TCP socket listening on `address` (SO_REUSEADDR, so a rerun need not wait
 * out TIME_WAIT), or -1. */
int listeningSocket(const struct sockaddr_in* address, int backlog);
int listeningSocketAt(const union SocketAddress* address, int backlog);

/* Writes `count` bytes, `buffer` over and over. 0, or -1 when a write fails. */
int writeRepeated(int fd, const char* buffer, size_t size, long count);

/* Reads until the peer closes, counting into *received. 0, or -1 when a read fails. */
int readToEnd(int fd, char* buffer, size_t size, long* received);
