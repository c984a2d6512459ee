#include "base/protocol_names.h"

#include <array>
#include <string_view>

#include "base/text.h"

namespace sondrel {

namespace {

// Indexed by protocol number; an empty text marks a number the table does not
// name. TCP and UDP have no entry because OwnerLookup names them itself.
constexpr std::array<std::u16string_view, 138> kProtocolNameTable = {
    u"",  // 0
    u"ICMP protocol",  // 1
    u"IGMP protocol",  // 2
    u"GGP protocol",  // 3
    u"IP in IP protocol ",  // 4
    u"Stream protocol",  // 5
    u"",  // 6
    u"UCL protocol",  // 7
    u"EGP protocol",  // 8
    u"IGP protocol",  // 9
    u"BBN RCC Monitoring",  // 10
    u"NVP-II protocol",  // 11
    u"PUP protocol",  // 12
    u"ARGUS protocol",  // 13
    u"EMCON protocol",  // 14
    u"XNET protocol",  // 15
    u"CHAOS protocol",  // 16
    u"",  // 17
    u"MUX protocol",  // 18
    u"DCN-MEAS protocol",  // 19
    u"HMP protocol",  // 20
    u"PRM protocol",  // 21
    u"XNS-IDP protocol",  // 22
    u"TRUNK-1 protocol",  // 23
    u"TRUNK-2 protocol",  // 24
    u"LEAF-1 protocol",  // 25
    u"LEAF-2 protocol",  // 26
    u"RDP protocol",  // 27
    u"IRTP protocol",  // 28
    u"ISO-TP4 protocol",  // 29
    u"NETBLT protocol",  // 30
    u"MFE-NSP protocol",  // 31
    u"MERIT-INP protocol",  // 32
    u"SEP protocol",  // 33
    u"3PC protocol",  // 34
    u"IDPR protocol",  // 35
    u"XTP protocol",  // 36
    u"DDP protocol",  // 37
    u"IDPR-CMTP protocol",  // 38
    u"TP++ protocol",  // 39
    u"IL protocol",  // 40
    u"SIP protocol",  // 41
    u"SDRP protocol",  // 42
    u"SIP-SR protocol",  // 43
    u"SIP-FRAG protocol",  // 44
    u"IDRP protocol",  // 45
    u"RSVP protocol",  // 46
    u"GRE protocol",  // 47
    u"MHRP protocol",  // 48
    u"BNA protocol",  // 49
    u"SIPP-ESP protocol",  // 50
    u"SIPP-AH protocol",  // 51
    u"I-NLSP protocol",  // 52
    u"SWIPE protocol",  // 53
    u"NHRP protocol",  // 54
    u"",  // 55
    u"",  // 56
    u"",  // 57
    u"",  // 58
    u"",  // 59
    u"",  // 60
    u"",  // 61
    u"CFTP protocol",  // 62
    u"",  // 63
    u"SAT-EXPAK protocol",  // 64
    u"KRYPTOLAN protocol",  // 65
    u"RVD protocol",  // 66
    u"IPPC protocol",  // 67
    u"",  // 68
    u"SAT-MON protocol",  // 69
    u"VISA protocol",  // 70
    u"IPCV protocol",  // 71
    u"CPNX protocol",  // 72
    u"CPHB protocol",  // 73
    u"WSN protocol",  // 74
    u"PVP protocol",  // 75
    u"BR-SAT-MON protocol",  // 76
    u"SUN-ND protocol",  // 77
    u"WB-MON protocol",  // 78
    u"WB-EXPAK protocol",  // 79
    u"ISO-IP protocol",  // 80
    u"VMTP protocol",  // 81
    u"SECURE-VMTP protocol",  // 82
    u"VINES protocol",  // 83
    u"TTP protocol",  // 84
    u"NSFNET-IGP protocol",  // 85
    u"DGP protocol",  // 86
    u"TCF protocol",  // 87
    u"IGRP protocol",  // 88
    u"OSPFIGP protocol",  // 89
    u"Sprite-RPC protocol",  // 90
    u"LARP protocol",  // 91
    u"MTP protocol",  // 92
    u"AX.25 protocol",  // 93
    u"IPIP protocol",  // 94
    u"MICP protocol",  // 95
    u"SCC-SP protocol",  // 96
    u"ETHERIP protocol",  // 97
    u"ENCAP protocol",  // 98
    u"",  // 99
    u"GMTP protocol",  // 100
    u"IFMP protocol",  // 101
    u"PNNI protocol",  // 102
    u"PIM protocol",  // 103
    u"ARIS protocol",  // 104
    u"SCPS protocol",  // 105
    u"QNX protocol",  // 106
    u"A/N protocol",  // 107
    u"IPComp protocol",  // 108
    u"SNP protocol",  // 109
    u"Compaq-Peer protocol",  // 110
    u"IPX-in-IP protocol",  // 111
    u"VRRP protocol",  // 112
    u"PGM protocol",  // 113
    u"",  // 114
    u"L2TP protocol",  // 115
    u"DDX protocol",  // 116
    u"IATP protocol",  // 117
    u"STP protocol",  // 118
    u"SRP protocol",  // 119
    u"UTI protocol",  // 120
    u"SMP protocol",  // 121
    u"SM protocol",  // 122
    u"PTP protocol",  // 123
    u"ISIS over IPv4",  // 124
    u"FIRE protocol",  // 125
    u"CRTP protocol",  // 126
    u"CRUDP protocol",  // 127
    u"SSCOPMCE protocol",  // 128
    u"IPLT protocol",  // 129
    u"SPS protocol",  // 130
    u"PIPE protocol",  // 131
    u"SCTP protocol",  // 132
    u"SFibre Channel",  // 133
    u"RSVP-E2E-IGNORE",  // 134
    u"Mobility Header",  // 135
    u"UDPLite protocol",  // 136
    u"MPLS-in-IP protocol",  // 137
};

struct ProtocolLabels {
    ProtocolLabels() {
        for (std::size_t number = 0; number < byNumber.size(); ++number) byNumber[number] = GetProtocolName(std::uint16_t(number));
        byNumber[6] = u"TCP protocol";
        byNumber[17] = u"UDP protocol";
    }
    std::array<std::u16string, 256> byNumber;
    const std::u16string icmpv6 = u"ICMPv6 protocol";
};

const ProtocolLabels& protocolLabels() {
    static const ProtocolLabels labels;
    return labels;
}

}  // namespace

std::u16string GetProtocolName(std::uint16_t protocol) {
    if (protocol < kProtocolNameTable.size() && !kProtocolNameTable[protocol].empty()) {
        return std::u16string(kProtocolNameTable[protocol]);
    }
    return u"IP protocol #" + decimalU16(std::uint64_t(protocol));
}

const std::u16string& protocolLabel(std::uint8_t family, std::uint8_t protocol) {
    const ProtocolLabels& labels = protocolLabels();
    if (family == 6 && protocol == 58) return labels.icmpv6;
    return labels.byNumber[protocol];
}

bool isProtocolLabel(std::u16string_view text) {
    const ProtocolLabels& labels = protocolLabels();
    if (text == labels.icmpv6) return true;
    for (const std::u16string& label : labels.byNumber)
        if (text == label) return true;
    // "IP protocol #<n>" for any n, also beyond one byte.
    constexpr std::u16string_view prefix = u"IP protocol #";
    if (text.starts_with(prefix) && text.size() > prefix.size()) {
        for (const char16_t c : text.substr(prefix.size()))
            if (c < u'0' || c > u'9') return false;
        return true;
    }
    return false;
}

}  // namespace sondrel
