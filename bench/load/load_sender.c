/* One of the load run's sending processes: UDP datagrams at a steady rate,
 * from one socket, to a cycle of many remote addresses:
 *   load_sender LOCAL_ADDR FIRST_REMOTE ADDRESSES OFFSET PORT PAYLOAD RATE SECONDS BURST
 * Datagram k goes to FIRST_REMOTE + (OFFSET + k / BURST) mod ADDRESSES, so
 * every BURST datagrams this socket meets a remote address it may not have
 * met before: a new endpoint row for the monitor, and a new resolver.
 * Prints "port N" once bound, starts when a line arrives on stdin, and ends
 * with "sent COUNT SECONDS". Paced by the wall clock in batches of up to 32
 * (sendmmsg), sleeping until a whole batch is due, so fifty of these wake
 * the scheduler a few thousand times a second, not a hundred thousand. */
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tests/e2e/net_args.h"
#include "tests/e2e/net_sockets.h"
#include "tests/e2e/pacing_clock.h"

int main(int argc, char** argv) {
    if (argc != 10) {
        return usageError(argv[0], "LOCAL_ADDR FIRST_REMOTE ADDRESSES OFFSET PORT PAYLOAD RATE SECONDS BURST");
    }
    struct sockaddr_in local;
    struct sockaddr_in target;
    if (parseAddressPort(argv[0], argv[1], "0", &local) != 0 || parseAddressPort(argv[0], argv[2], argv[5], &target) != 0) {
        return 2;
    }
    const uint32_t addresses = (uint32_t)strtoul(argv[3], NULL, 10);
    const uint32_t offset = (uint32_t)strtoul(argv[4], NULL, 10);
    const size_t payload = (size_t)atol(argv[6]);
    const uint64_t rate = (uint64_t)atoll(argv[7]);
    const uint64_t seconds = (uint64_t)atoll(argv[8]);
    const uint64_t burst = (uint64_t)atoll(argv[9]);
    if (addresses == 0 || payload > 1472 || rate == 0 || seconds == 0 || burst == 0) {
        fprintf(stderr, "%s: addresses, rate, seconds and burst above 0, payload 0..1472\n", argv[0]);
        return 2;
    }

    const char* failed = NULL;
    const int fd = boundDatagramSocket(&local, &failed);
    if (fd < 0) return failedCall(failed);
    if (announcePortAndWait(argv[0], &local) != 0) return 1;

    static char data[1472];
    memset(data, 'l', sizeof data);
    struct DatagramBatch batch;
    prepareBatch(&batch, data, payload, &target);
    const uint32_t firstHost = ntohl(target.sin_addr.s_addr);

    const uint64_t total = rate * seconds;
    const uint64_t start = monotonicNs();
    uint64_t sent = 0;
    while (sent < total) {
        const uint64_t left = total - sent;
        const uint64_t want = left < kSendBatch ? left : kSendBatch;
        /* The moment the last datagram of this batch is due. */
        if (sleepUntilNs(start + (uint64_t)((unsigned __int128)(sent + want - 1) * 1000000000u / rate))) continue;
        for (uint64_t i = 0; i < want; ++i) {
            const uint64_t k = sent + i;
            batch.targets[i].sin_addr.s_addr = htonl(firstHost + (uint32_t)((offset + k / burst) % addresses));
        }
        const int done = sendBatch(fd, &batch, (unsigned)want);
        if (done < 0) return failedCall("sendmmsg");
        sent += (uint64_t)done;
    }
    reportSent((unsigned long long)sent, secondsSinceNs(start));
    close(fd);
    return 0;
}
