/* UDP datagrams the kernel's IP stack never sees leave: whole Ethernet frames
 * written to the link through a packet socket (root: CAP_NET_RAW).
 *   attr_inject --interface NAME --mac PEER_MAC --from ADDRESS:PORT --to ADDRESS:PORT --count N
 *               [--size BYTES] [--spread-ms MS]
 * COUNT frames of Ethernet + IPv4 + UDP with both checksums right, from the
 * interface's own MAC to PEER_MAC, spread evenly over MS. No socket holds
 * FROM's port: the frames are this program's alone. Ends with the hold line
 * for that port ("udp 4 PORT"). */
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "bench/attribution/attr_net.h"

enum { kEthernet = 14, kIp = 20, kUdp = 8, kMaxPayload = 1400 };

static uint32_t sum16(const unsigned char* bytes, size_t size, uint32_t sum) {
    for (size_t i = 0; i + 1 < size; i += 2) sum += (uint32_t)(bytes[i] << 8 | bytes[i + 1]);
    if (size % 2 != 0) sum += (uint32_t)(bytes[size - 1] << 8);
    return sum;
}

static uint16_t folded(uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return (uint16_t)~sum;
}

static void put16(unsigned char* at, unsigned value) {
    at[0] = (unsigned char)(value >> 8);
    at[1] = (unsigned char)value;
}

/* The frame of datagram `sequence`: the IP identification and the checksums change. */
static size_t buildFrame(unsigned char* frame, const unsigned char* ownMac, const unsigned char* peerMac,
                         const struct sockaddr_in* from, const struct sockaddr_in* to, long size, long sequence) {
    memcpy(frame, peerMac, 6);
    memcpy(frame + 6, ownMac, 6);
    put16(frame + 12, ETHERTYPE_IP);
    unsigned char* ip = frame + kEthernet;
    const unsigned total = (unsigned)(kIp + kUdp + size);
    memset(ip, 0, kIp);
    ip[0] = 0x45;
    put16(ip + 2, total);
    put16(ip + 4, (unsigned)sequence & 0xffff);
    put16(ip + 6, 0x4000); /* don't fragment */
    ip[8] = 64;
    ip[9] = IPPROTO_UDP;
    memcpy(ip + 12, &from->sin_addr, 4);
    memcpy(ip + 16, &to->sin_addr, 4);
    put16(ip + 10, folded(sum16(ip, kIp, 0)));
    unsigned char* udp = ip + kIp;
    memcpy(udp, &from->sin_port, 2);
    memcpy(udp + 2, &to->sin_port, 2);
    put16(udp + 4, (unsigned)(kUdp + size));
    put16(udp + 6, 0);
    memset(udp + kUdp, 'i', (size_t)size);
    /* Pseudo-header: both addresses, the protocol and the UDP length. */
    uint32_t sum = sum16(ip + 12, 8, 0) + IPPROTO_UDP + (uint32_t)(kUdp + size);
    uint16_t check = folded(sum16(udp, (size_t)(kUdp + size), sum));
    put16(udp + 6, check == 0 ? 0xffff : check);
    return kEthernet + total;
}

int main(int argc, char** argv) {
    const int64_t mainNs = wallNs();
    const char* interface = NULL;
    unsigned char peerMac[6];
    int haveMac = 0;
    struct sockaddr_storage from;
    struct sockaddr_storage to;
    socklen_t fromLength = 0;
    socklen_t toLength = 0;
    long count = 0;
    long size = 200;
    double spreadMs = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const char* value = argv[i + 1];
        if (strcmp(argv[i], "--interface") == 0) {
            interface = value;
        } else if (strcmp(argv[i], "--mac") == 0) {
            haveMac = sscanf(value, "%hhx:%hhx:%hhx:%hhx:%hhx:%hhx", &peerMac[0], &peerMac[1], &peerMac[2],
                             &peerMac[3], &peerMac[4], &peerMac[5]) == 6;
        } else if (strcmp(argv[i], "--from") == 0) {
            if (parseEndpoint(value, &from, &fromLength) != 0 || from.ss_family != AF_INET) fromLength = 0;
        } else if (strcmp(argv[i], "--to") == 0) {
            if (parseEndpoint(value, &to, &toLength) != 0 || to.ss_family != AF_INET) toLength = 0;
        } else if (strcmp(argv[i], "--count") == 0) {
            count = atol(value);
        } else if (strcmp(argv[i], "--size") == 0) {
            size = atol(value);
        } else if (strcmp(argv[i], "--spread-ms") == 0) {
            spreadMs = atof(value);
        } else {
            count = 0;
        }
    }
    if (interface == NULL || !haveMac || fromLength == 0 || toLength == 0 || count < 1 || size < 0 ||
        size > kMaxPayload || argc % 2 == 0) {
        fprintf(stderr,
                "usage: %s --interface NAME --mac PEER_MAC --from ADDRESS:PORT --to ADDRESS:PORT --count N "
                "[--size BYTES] [--spread-ms MS]\n",
                argv[0]);
        return 2;
    }
    const int64_t startNs = wallNs();
    /* Protocol 0: this socket only writes, it is handed no frame. */
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail("packet socket");
    struct ifreq request;
    memset(&request, 0, sizeof request);
    snprintf(request.ifr_name, sizeof request.ifr_name, "%s", interface);
    if (ioctl(fd, SIOCGIFHWADDR, &request) != 0) return fail(interface);
    unsigned char ownMac[6];
    memcpy(ownMac, request.ifr_hwaddr.sa_data, 6);
    struct sockaddr_ll link = {.sll_family = AF_PACKET, .sll_ifindex = (int)if_nametoindex(interface)};
    if (link.sll_ifindex == 0 || bind(fd, (struct sockaddr*)&link, sizeof link) != 0) return fail("bind");

    static unsigned char frame[kEthernet + kIp + kUdp + kMaxPayload];
    const struct sockaddr_in* source = (const struct sockaddr_in*)&from;
    const int64_t firstNs = wallNs();
    const int64_t stepNs = count > 1 ? (int64_t)(spreadMs * 1e6) / (count - 1) : 0;
    for (long i = 0; i < count; ++i) {
        sleepUntilWallNs(firstNs + i * stepNs);
        const size_t length = buildFrame(frame, ownMac, peerMac, source, (const struct sockaddr_in*)&to, size, i);
        if (send(fd, frame, length, 0) != (ssize_t)length) return fail("send");
    }
    printHold("udp", "4", ntohs(source->sin_port), startNs, mainNs);
    return 0;
}
