/* UDP in batches, one system call per batch each way:
 *   attr_mmsg --to ENDPOINT --count N [--size BYTES] [--batch B] [--spread-ms MS]
 * A connected socket to the peer's echo; each batch of B datagrams goes out
 * with one sendmmsg(2) and its echoes are read with recvmmsg(2) until all B
 * are in or none came for a second. Batches are spread evenly over MS. Ends
 * with the hold line. */
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include "bench/attribution/attr_net.h"

enum { kMaxBatch = 64, kMaxPayload = 1400, kEchoWaitMs = 1000 };

int main(int argc, char** argv) {
    const int64_t mainNs = wallNs();
    struct BatchOptions options;
    if (parseBatchOptions(argc, argv, 32, kMaxBatch, kMaxPayload, &options) != 0) return 2;
    const struct sockaddr_storage to = options.to;
    const socklen_t toLength = options.toLength;
    const long count = options.count, size = options.size, batch = options.batch;
    const double spreadMs = options.spreadMs;
    const int64_t startNs = wallNs();
    const int fd = socket(to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail("socket");
    if (connect(fd, (struct sockaddr*)&to, toLength) != 0) return fail("connect");

    static char payload[kMaxPayload];
    static char echoes[kMaxBatch][kMaxPayload];
    memset(payload, 'm', sizeof payload);
    struct iovec out[kMaxBatch];
    struct iovec in[kMaxBatch];
    struct mmsghdr outgoing[kMaxBatch];
    struct mmsghdr incoming[kMaxBatch];
    memset(outgoing, 0, sizeof outgoing);
    memset(incoming, 0, sizeof incoming);
    for (int i = 0; i < kMaxBatch; ++i) {
        out[i] = (struct iovec){payload, (size_t)size};
        in[i] = (struct iovec){echoes[i], kMaxPayload};
        outgoing[i].msg_hdr.msg_iov = &out[i];
        outgoing[i].msg_hdr.msg_iovlen = 1;
        incoming[i].msg_hdr.msg_iov = &in[i];
        incoming[i].msg_hdr.msg_iovlen = 1;
    }
    const long batches = (count + batch - 1) / batch;
    const int64_t firstNs = wallNs();
    const int64_t stepNs = batches > 1 ? (int64_t)(spreadMs * 1e6) / (batches - 1) : 0;
    long lost = 0;
    for (long b = 0; b < batches; ++b) {
        sleepUntilWallNs(firstNs + b * stepNs);
        const int here = (int)(b + 1 < batches ? batch : count - b * batch);
        for (int sent = 0; sent < here;) {
            const int took = sendmmsg(fd, outgoing + sent, (unsigned)(here - sent), 0);
            if (took <= 0) return fail("sendmmsg");
            sent += took;
        }
        int echoed = 0;
        while (echoed < here) {
            struct pollfd ready = {fd, POLLIN, 0};
            if (poll(&ready, 1, kEchoWaitMs) <= 0) break;
            const int got = recvmmsg(fd, incoming, (unsigned)(here - echoed), MSG_DONTWAIT, NULL);
            if (got > 0) echoed += got;
        }
        lost += here - echoed;
    }
    if (lost > 0) fprintf(stderr, "%s: %ld of %ld datagrams not echoed\n", argv[0], lost, count);
    unsigned port = 0;
    const char* families = "4";
    if (socketHolding(fd, &port, &families) != 0) return fail("getsockname");
    printHold("udp", families, port, startNs, mainNs);
    return 0;
}
