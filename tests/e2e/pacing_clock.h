#pragma once
/* The clock and the batched sending of the paced UDP senders. Needs
 * _GNU_SOURCE (sendmmsg), which the library hands on to its users. */
#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

/* CLOCK_MONOTONIC in nanoseconds. */
uint64_t monotonicNs(void);

/* Sleeps until monotonicNs() reaches `at`; 1 if it slept, 0 if `at` had passed. */
int sleepUntilNs(uint64_t at);

/* Seconds from `startNs` to now, for "sent COUNT SECONDS". */
double secondsSinceNs(uint64_t startNs);

enum { kSendBatch = 32 };

/* Up to kSendBatch datagrams of one payload, handed to the kernel by one
 * sendmmsg call, so a high rate costs few system calls. */
struct DatagramBatch {
    struct iovec vectors[kSendBatch];
    struct mmsghdr messages[kSendBatch];
    struct sockaddr_in targets[kSendBatch];
};

/* Every datagram carries `payload` bytes of `data`. With `target` every one
 * goes there (the caller may change targets[i] between sends); without, the
 * socket must be connected. */
void prepareBatch(struct DatagramBatch* batch, char* data, size_t payload, const struct sockaddr_in* target);

/* Sends the first `count` datagrams: how many left, 0 when the kernel asks
 * to try again later (a full queue, a signal), -1 when sending failed. */
int sendBatch(int fd, struct DatagramBatch* batch, unsigned count);
