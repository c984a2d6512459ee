/* Sends UDP datagrams at a steady rate with sendmmsg, for the capture-rate
 * measurement:
 *   rate_paced_sender LOCAL_ADDR REMOTE_ADDR REMOTE_PORT PAYLOAD RATE SECONDS
 * Prints "port N" once bound, starts when a line arrives on stdin, and ends
 * with "sent COUNT SECONDS". Pacing follows the wall clock: every moment it
 * has sent RATE x elapsed datagrams, in batches of at most 32, so a late
 * wake-up is caught up at once instead of lowering the rate. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tests/e2e/net_args.h"
#include "tests/e2e/net_sockets.h"
#include "tests/e2e/pacing_clock.h"

int main(int argc, char** argv) {
    struct sockaddr_in local;
    struct sockaddr_in remote;
    if (parseSenderCommand(argc, argv, 7, "LOCAL_ADDR REMOTE_ADDR REMOTE_PORT PAYLOAD RATE SECONDS", &local, &remote) != 0) {
        return 2;
    }
    const size_t payload = (size_t)atol(argv[4]);
    const uint64_t rate = (uint64_t)atoll(argv[5]);
    const uint64_t seconds = (uint64_t)atoll(argv[6]);
    if (payload > 1472 || rate == 0 || seconds == 0) {
        fprintf(stderr, "%s: payload must be 0..1472, rate and seconds above 0\n", argv[0]);
        return 2;
    }

    const char* failed = NULL;
    const int fd = boundDatagramSocket(&local, &failed);
    if (fd < 0) return failedCall(failed);
    if (connect(fd, (struct sockaddr*)&remote, sizeof remote) != 0) return failedCall("connect");
    if (announcePortAndWait(argv[0], &local) != 0) return 1;

    static char data[1472];
    memset(data, 'r', sizeof data);
    struct DatagramBatch batch;
    prepareBatch(&batch, data, payload, NULL);

    const uint64_t total = rate * seconds;
    const uint64_t start = monotonicNs();
    uint64_t sent = 0;
    while (sent < total) {
        const uint64_t elapsed = monotonicNs() - start;
        uint64_t due = (uint64_t)((unsigned __int128)elapsed * rate / 1000000000u) + 1;
        if (due > total) due = total;
        if (due <= sent) {
            /* Ahead of the clock: sleep until the next datagram is due. */
            sleepUntilNs(start + (uint64_t)((unsigned __int128)sent * 1000000000u / rate));
            continue;
        }
        const int done = sendBatch(fd, &batch, (unsigned)(due - sent < kSendBatch ? due - sent : kSendBatch));
        if (done < 0) return failedCall("sendmmsg");
        sent += (uint64_t)done;
    }
    reportSent((unsigned long long)sent, secondsSinceNs(start));
    close(fd);
    return 0;
}
