#pragma once
/* The face the small traffic programs show the scripts that drive them: their
 * arguments, and the lines they trade on stdin and stdout. Complaints go to
 * stderr as "PROGRAM: what", which the scripts pass on as they are. */
#include <netinet/in.h>
#include <sys/socket.h>

/* An IPv4 or an IPv6 socket address, whichever its text named. */
union SocketAddress {
    struct sockaddr any;
    struct sockaddr_in v4;
    struct sockaddr_in6 v6;
};

/* The length bind, connect and sendto take for this address's family. */
socklen_t socketAddressLength(const union SocketAddress* address);

/* Prints "usage: PROGRAM ARGUMENTS"; the exit status for a wrong command line. */
int usageError(const char* program, const char* arguments);

/* perror(what); the exit status for a failed system call. */
int failedCall(const char* what);

/* "10.200.1.2" "5000" -> that IPv4 socket address. 0, or the exit status for
 * a wrong command line after "PROGRAM: bad address". */
int parseAddressPort(const char* program, const char* address, const char* port, struct sockaddr_in* out);

/* The same for "10.200.1.2" or "fd00::2": the family follows the text. */
int parseSocketAddress(const char* program, const char* address, const char* port, union SocketAddress* out);

/* The LOCAL_ADDR REMOTE_ADDR REMOTE_PORT most of these programs start with, as
 * arguments[0..2]; the local port is left for the kernel to choose. */
int parseLocalRemote(const char* program, char** arguments, struct sockaddr_in* local, struct sockaddr_in* remote);

/* The start most senders share: exactly `expected` arguments (program name
 * included) that begin LOCAL_ADDR REMOTE_ADDR REMOTE_PORT. 0, or the exit
 * status for a wrong command line after saying what is wrong. */
int parseSenderCommand(int argc, char** argv, int expected, const char* usage, struct sockaddr_in* local,
                       struct sockaddr_in* remote);

/* "port N": the script learns the socket it must see owned. */
void announcePort(const struct sockaddr_in* local);

/* "port N" of a socket address of either family. */
void announceSocketPort(const union SocketAddress* local);

/* "port N", then blocks until the script sends a line: the sender starts only
 * once the monitor knows its socket. 0, or 1 after "PROGRAM: no go-ahead". */
int announcePortAndWait(const char* program, const struct sockaddr_in* local);

/* "ready": the peer is bound and takes traffic. */
void announceReady(void);

/* Blocks until the script sends a line. 0, or 1 after "PROGRAM: no go-ahead". */
int awaitGoAhead(const char* program);

/* "sent COUNT SECONDS", the last line of every paced sender. */
void reportSent(unsigned long long count, double seconds);
