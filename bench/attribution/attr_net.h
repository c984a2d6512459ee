#pragma once
/* What the traffic programs of the attribution bench share: socket addresses
 * of either family, the wall clock that packet captures are stamped with, and
 * the "hold" line each program ends with, which tells the bench which
 * (protocol, families, local port) it held from when on, under its own
 * executable path. */
#include <stdint.h>
#include <sys/socket.h>

/* "10.1.2.3:5000" or "[fd00::2]:5000" into `out`; 0, or -1 when it is neither. */
int parseEndpoint(const char* text, struct sockaddr_storage* out, socklen_t* length);

/* CLOCK_REALTIME in nanoseconds: the time base of tcpdump's time stamps. */
int64_t wallNs(void);

/* Sleeps until wallNs() reaches `atNs` (at once when it has passed). */
void sleepUntilWallNs(int64_t atNs);

/* The local port of `fd` and the families it can carry ("4", "6" or "46":
 * an IPv6 socket without IPV6_V6ONLY carries IPv4 too). 0, or -1. */
int socketHolding(int fd, unsigned* port, const char** families);

/* "hold PROTOCOL FAMILIES PORT START_NS END_NS LIFE_NS PID EXE" on stdout,
 * END_NS being now and LIFE_NS the time since `mainNs`. */
void printHold(const char* protocol, const char* families, unsigned port, int64_t startNs, int64_t mainNs);

/* The same for a raw IPv4 socket, which has no port: "hold raw:PROTOCOL 4
 * ADDRESS ...", ADDRESS being its local address (0.0.0.0: any). 0, or -1. */
int printRawHold(int protocol, int fd, int64_t startNs, int64_t mainNs);

/* Ends a stream the program has written: tells its hold line's port, shuts
 * the writing side, reads until the peer closes (it has then read
 * everything), closes and prints the hold line. 0, or the exit status 1. */
int finishStream(int fd, const char* protocol, int64_t startNs, int64_t mainNs);

/* The options of the batched senders (mmsg, io_uring): --to ENDPOINT --count N
 * [--size BYTES] [--batch B] [--spread-ms MS]. */
struct BatchOptions {
    struct sockaddr_storage to;
    socklen_t toLength;
    long count;
    long size;
    long batch;
    double spreadMs;
};

/* Fills `options` (batch defaulting to `defaultBatch`); 0, or -1 after printing
 * the usage when an option is missing or beyond its bound. */
int parseBatchOptions(int argc, char** argv, long defaultBatch, long maxBatch, long maxPayload,
                      struct BatchOptions* options);

/* perror(what), then the exit status 1. */
int fail(const char* what);
