/* UDP through io_uring, by its system calls alone:
 *   attr_uring --to ENDPOINT --count N [--size BYTES] [--batch B] [--spread-ms MS]
 * A connected socket to the peer's echo; each batch queues B IORING_OP_SEND
 * and B IORING_OP_RECV entries, submits them with one io_uring_enter and
 * waits for all 2B completions. Batches are spread evenly over MS. The
 * program dies of SIGALRM rather than wait forever for a lost echo. Ends
 * with the hold line. */
#include <linux/io_uring.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "bench/attribution/attr_net.h"

enum { kMaxBatch = 64, kMaxPayload = 1400, kGiveUpSeconds = 30 };

struct Ring {
    int fd;
    unsigned* sqTail;
    unsigned sqMask;
    unsigned* sqArray;
    struct io_uring_sqe* sqes;
    unsigned* cqHead;
    unsigned* cqTail;
    unsigned cqMask;
    struct io_uring_cqe* cqes;
};

static int ringOpen(struct Ring* ring, unsigned entries) {
    struct io_uring_params params;
    memset(&params, 0, sizeof params);
    ring->fd = (int)syscall(__NR_io_uring_setup, entries, &params);
    if (ring->fd < 0) return -1;
    size_t sqSize = params.sq_off.array + params.sq_entries * sizeof(unsigned);
    size_t cqSize = params.cq_off.cqes + params.cq_entries * sizeof(struct io_uring_cqe);
    const int single = (params.features & IORING_FEAT_SINGLE_MMAP) != 0;
    if (single) sqSize = cqSize = sqSize > cqSize ? sqSize : cqSize;
    const int protection = PROT_READ | PROT_WRITE;
    char* sq = mmap(NULL, sqSize, protection, MAP_SHARED | MAP_POPULATE, ring->fd, IORING_OFF_SQ_RING);
    if (sq == MAP_FAILED) return -1;
    char* cq = single ? sq : mmap(NULL, cqSize, protection, MAP_SHARED | MAP_POPULATE, ring->fd, IORING_OFF_CQ_RING);
    if (cq == MAP_FAILED) return -1;
    ring->sqes = mmap(NULL, params.sq_entries * sizeof(struct io_uring_sqe), protection, MAP_SHARED | MAP_POPULATE,
                      ring->fd, IORING_OFF_SQES);
    if (ring->sqes == MAP_FAILED) return -1;
    ring->sqTail = (unsigned*)(sq + params.sq_off.tail);
    ring->sqMask = *(unsigned*)(sq + params.sq_off.ring_mask);
    ring->sqArray = (unsigned*)(sq + params.sq_off.array);
    ring->cqHead = (unsigned*)(cq + params.cq_off.head);
    ring->cqTail = (unsigned*)(cq + params.cq_off.tail);
    ring->cqMask = *(unsigned*)(cq + params.cq_off.ring_mask);
    ring->cqes = (struct io_uring_cqe*)(cq + params.cq_off.cqes);
    return 0;
}

/* One entry at the submission queue's tail; the kernel sees it at the next enter. */
static void queue(struct Ring* ring, unsigned char opcode, int fd, void* buffer, unsigned length, uint64_t tag) {
    const unsigned tail = *ring->sqTail;
    const unsigned index = tail & ring->sqMask;
    struct io_uring_sqe* entry = &ring->sqes[index];
    memset(entry, 0, sizeof *entry);
    entry->opcode = opcode;
    entry->fd = fd;
    entry->addr = (uint64_t)(uintptr_t)buffer;
    entry->len = length;
    entry->user_data = tag;
    ring->sqArray[index] = index;
    __atomic_store_n(ring->sqTail, tail + 1, __ATOMIC_RELEASE);
}

/* Submits `submit` entries, waits for `complete` completions and checks them:
 * every send whole, every receive a datagram. 0, or -1. */
static int run(struct Ring* ring, unsigned submit, unsigned complete, long size) {
    unsigned done = 0;
    while (done < complete) {
        if (syscall(__NR_io_uring_enter, ring->fd, submit, complete - done, IORING_ENTER_GETEVENTS, NULL, 0) < 0)
            return -1;
        submit = 0;
        unsigned head = *ring->cqHead;
        for (; head != __atomic_load_n(ring->cqTail, __ATOMIC_ACQUIRE); ++head, ++done) {
            const struct io_uring_cqe* completion = &ring->cqes[head & ring->cqMask];
            if (completion->res < 0 || (completion->user_data == IORING_OP_SEND && completion->res != size)) {
                fprintf(stderr, "io_uring: operation %llu gave %d\n", (unsigned long long)completion->user_data,
                        completion->res);
                return -1;
            }
        }
        __atomic_store_n(ring->cqHead, head, __ATOMIC_RELEASE);
    }
    return 0;
}

int main(int argc, char** argv) {
    const int64_t mainNs = wallNs();
    struct BatchOptions options;
    if (parseBatchOptions(argc, argv, 16, kMaxBatch, kMaxPayload, &options) != 0) return 2;
    const struct sockaddr_storage to = options.to;
    const socklen_t toLength = options.toLength;
    const long count = options.count, size = options.size, batch = options.batch;
    const double spreadMs = options.spreadMs;
    alarm(kGiveUpSeconds);
    const int64_t startNs = wallNs();
    const int fd = socket(to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail("socket");
    if (connect(fd, (struct sockaddr*)&to, toLength) != 0) return fail("connect");
    struct Ring ring;
    if (ringOpen(&ring, 2 * kMaxBatch) != 0) return fail("io_uring_setup");

    static char payload[kMaxPayload];
    static char echoes[kMaxBatch][kMaxPayload];
    memset(payload, 'u', sizeof payload);
    const long batches = (count + batch - 1) / batch;
    const int64_t firstNs = wallNs();
    const int64_t stepNs = batches > 1 ? (int64_t)(spreadMs * 1e6) / (batches - 1) : 0;
    for (long b = 0; b < batches; ++b) {
        sleepUntilWallNs(firstNs + b * stepNs);
        const long here = b + 1 < batches ? batch : count - b * batch;
        for (long i = 0; i < here; ++i) queue(&ring, IORING_OP_SEND, fd, payload, (unsigned)size, IORING_OP_SEND);
        for (long i = 0; i < here; ++i) queue(&ring, IORING_OP_RECV, fd, echoes[i], kMaxPayload, IORING_OP_RECV);
        if (run(&ring, (unsigned)(2 * here), (unsigned)(2 * here), size) != 0) return fail("io_uring_enter");
    }
    unsigned port = 0;
    const char* families = "4";
    if (socketHolding(fd, &port, &families) != 0) return fail("getsockname");
    printHold("udp", families, port, startNs, mainNs);
    return 0;
}
