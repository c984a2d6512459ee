// A stand-in for libpcap built as a shared library, so the run-time binding
// can be tested against real dlopen/dlsym without the system's libpcap.
// SONDREL_STUB_OMIT_<NAME> leaves that entry point out.
#include <pcap/pcap.h>

#ifndef SONDREL_STUB_OMIT_FINDALLDEVS
int pcap_findalldevs(pcap_if_t** list, char*) {
    *list = nullptr;
    return 0;
}
#endif

void pcap_freealldevs(pcap_if_t*) {}

#ifndef SONDREL_STUB_OMIT_OPEN_LIVE
pcap_t* pcap_open_live(const char*, int, int, int, char*) {
    return nullptr;
}
#endif

#ifndef SONDREL_STUB_OMIT_COMPILE
int pcap_compile(pcap_t*, struct bpf_program*, const char*, int, bpf_u_int32) {
    return -1;
}
#endif

#ifndef SONDREL_STUB_OMIT_SETFILTER
int pcap_setfilter(pcap_t*, struct bpf_program*) {
    return -1;
}
#endif

int pcap_dispatch(pcap_t*, int, pcap_handler, u_char*) {
    return -1;
}

void pcap_close(pcap_t*) {}

// A value no real link type has, so a test can tell this file's entry points
// were bound.
int pcap_datalink(pcap_t*) {
    return 4242;
}

#ifndef SONDREL_STUB_OMIT_BREAKLOOP
void pcap_breakloop(pcap_t*) {}
#endif

pcap_t* pcap_create(const char*, char*) {
    return nullptr;
}

int pcap_set_snaplen(pcap_t*, int) {
    return 0;
}

int pcap_set_promisc(pcap_t*, int) {
    return 0;
}

int pcap_set_timeout(pcap_t*, int) {
    return 0;
}

#ifndef SONDREL_STUB_OMIT_SET_BUFFER_SIZE
int pcap_set_buffer_size(pcap_t*, int) {
    return 0;
}
#endif

int pcap_activate(pcap_t*) {
    return PCAP_ERROR;
}

char* pcap_geterr(pcap_t*) {
    return nullptr;
}

const char* pcap_statustostr(int) {
    return "";
}
