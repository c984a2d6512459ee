/* One TCP exchange with e2e_tcp_server: sends SEND_BYTES, half-closes, reads
 * the answer to its end and checks it is EXPECT_BYTES long:
 *   e2e_tcp_client LOCAL_ADDR REMOTE_ADDR REMOTE_PORT SEND_BYTES EXPECT_BYTES
 * Prints "port N" once its local port is taken, connects when a line arrives
 * on stdin.
 *
 * A connecting socket appears in the kernel's socket table only when connect()
 * already sends its SYN, too late for a monitor that learns owners by scanning
 * that table. So the port is first taken by a listening socket (which the
 * table lists at once) and shared with the connecting one through
 * SO_REUSEPORT: the whole connection, handshake included, then has an owner. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int fail(const char* what) {
    perror(what);
    return 1;
}

static int reusableSocket(void) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: %s LOCAL_ADDR REMOTE_ADDR REMOTE_PORT SEND_BYTES EXPECT_BYTES\n", argv[0]);
        return 2;
    }
    struct sockaddr_in local = {.sin_family = AF_INET};
    struct sockaddr_in remote = {.sin_family = AF_INET, .sin_port = htons((unsigned short)atoi(argv[3]))};
    if (inet_pton(AF_INET, argv[1], &local.sin_addr) != 1 || inet_pton(AF_INET, argv[2], &remote.sin_addr) != 1) {
        fprintf(stderr, "%s: bad address\n", argv[0]);
        return 2;
    }
    const long sendBytes = atol(argv[4]);
    const long expectBytes = atol(argv[5]);

    const int holder = reusableSocket();
    if (holder < 0) return fail("socket");
    if (bind(holder, (struct sockaddr*)&local, sizeof local) != 0) return fail("bind");
    socklen_t length = sizeof local;
    if (getsockname(holder, (struct sockaddr*)&local, &length) != 0) return fail("getsockname");
    if (listen(holder, 1) != 0) return fail("listen");
    const int fd = reusableSocket();
    if (fd < 0) return fail("socket");
    if (bind(fd, (struct sockaddr*)&local, sizeof local) != 0) return fail("bind shared port");
    printf("port %u\n", ntohs(local.sin_port));
    fflush(stdout);

    char line[64];
    if (fgets(line, sizeof line, stdin) == NULL) {
        fprintf(stderr, "%s: no go-ahead\n", argv[0]);
        return 1;
    }
    if (connect(fd, (struct sockaddr*)&remote, sizeof remote) != 0) return fail("connect");
    static char buffer[65536];
    memset(buffer, 't', sizeof buffer);
    for (long left = sendBytes; left > 0;) {
        const size_t chunk = left < (long)sizeof buffer ? (size_t)left : sizeof buffer;
        const ssize_t put = write(fd, buffer, chunk);
        if (put <= 0) return fail("write");
        left -= put;
    }
    if (shutdown(fd, SHUT_WR) != 0) return fail("shutdown");
    long received = 0;
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) return fail("read");
        if (got == 0) break;
        received += got;
    }
    close(fd);
    close(holder);
    if (received != expectBytes) {
        fprintf(stderr, "%s: received %ld bytes, expected %ld\n", argv[0], received, expectBytes);
        return 1;
    }
    return 0;
}
