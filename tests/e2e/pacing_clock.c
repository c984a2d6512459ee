#include "tests/e2e/pacing_clock.h"

#include <errno.h>
#include <string.h>
#include <time.h>

uint64_t monotonicNs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

int sleepUntilNs(uint64_t at) {
    const uint64_t now = monotonicNs();
    if (at <= now) return 0;
    const uint64_t wait = at - now;
    const struct timespec pause = {.tv_sec = (time_t)(wait / 1000000000u), .tv_nsec = (long)(wait % 1000000000u)};
    nanosleep(&pause, NULL);
    return 1;
}

double secondsSinceNs(uint64_t startNs) { return (double)(monotonicNs() - startNs) / 1e9; }

void prepareBatch(struct DatagramBatch* batch, char* data, size_t payload, const struct sockaddr_in* target) {
    memset(batch, 0, sizeof *batch);
    for (int i = 0; i < kSendBatch; ++i) {
        batch->vectors[i].iov_base = data;
        batch->vectors[i].iov_len = payload;
        batch->messages[i].msg_hdr.msg_iov = &batch->vectors[i];
        batch->messages[i].msg_hdr.msg_iovlen = 1;
        if (target != NULL) {
            batch->targets[i] = *target;
            batch->messages[i].msg_hdr.msg_name = &batch->targets[i];
            batch->messages[i].msg_hdr.msg_namelen = sizeof batch->targets[i];
        }
    }
}

int sendBatch(int fd, struct DatagramBatch* batch, unsigned count) {
    const int done = sendmmsg(fd, batch->messages, count, 0);
    if (done >= 0) return done;
    return errno == ENOBUFS || errno == EAGAIN || errno == EINTR ? 0 : -1;
}
