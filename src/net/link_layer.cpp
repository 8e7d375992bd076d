// Link layers of capture records.
#include "net/link_layer.h"

#include "net/byte_reader.h"

namespace compact {

namespace {

bool isVlanTag(uint16_t etherType) {
    return etherType == etherTypeVlan || etherType == etherTypeQinq ||
           etherType == etherTypeQinqLegacy;
}

// Skips VLAN tags (tag control word, then the next EtherType) and returns the inner EtherType.
// Each tag consumes 4 bytes, so the loop ends with the record at the latest.
uint16_t skipVlanTags(ByteReader& in, uint16_t etherType) {
    while (isVlanTag(etherType)) {
        in.skip(2);
        etherType = in.read_u2be();
    }
    return etherType;
}

RecordParse skip(SkipReason reason) {
    RecordParse result;
    result.skipped = reason;
    return result;
}

// Ethernet: destination and source MAC. Linux cooked v1: packet type, ARPHRD type, address
// length and 8 address bytes before the protocol. Linux cooked v2: after the protocol, reserved,
// interface index, ARPHRD type, packet type, address length and 8 address bytes.
constexpr size_t ethernetAddressBytes = 12;
constexpr size_t linuxCookedBeforeProtocol = 14;
constexpr size_t linuxCooked2AfterProtocol = 18;

}  // namespace

const char* skipReasonName(SkipReason reason) {
    switch (reason) {
        case SkipReason::Snapped:
            return "snapped";
        case SkipReason::NotIpv4:
            return "not IPv4";
        case SkipReason::NotUdp:
            return "not UDP";
        case SkipReason::Malformed:
            return "malformed";
    }
    return "unknown";
}

RecordParse parseRecord(int linkType, std::span<const uint8_t> record, uint32_t wireLength) {
    if (record.size() < wireLength) return skip(SkipReason::Snapped);
    try {
        ByteReader in{record};
        uint16_t etherType = 0;
        switch (linkType) {
            case linktype::ethernet:
                in.skip(ethernetAddressBytes);
                etherType = skipVlanTags(in, in.read_u2be());
                break;
            case linktype::linuxCooked:
                in.skip(linuxCookedBeforeProtocol);
                etherType = skipVlanTags(in, in.read_u2be());
                break;
            case linktype::linuxCooked2: {
                const uint16_t protocol = in.read_u2be();
                in.skip(linuxCooked2AfterProtocol);
                etherType = skipVlanTags(in, protocol);
                break;
            }
            case linktype::raw:
            case linktype::ipv4:
                // No link header: the IP version nibble tells IPv4 from IPv6.
                if (in.left() == 0) return skip(SkipReason::Malformed);
                if (record[0] >> 4 != 4) return skip(SkipReason::NotIpv4);
                etherType = etherTypeIpv4;
                break;
            case linktype::null:
            case linktype::loop: {
                const uint32_t family = in.read_u4le();
                if (family != loopbackFamilyIpv4 && family != loopbackFamilyIpv4Swapped) {
                    return skip(SkipReason::NotIpv4);
                }
                etherType = etherTypeIpv4;
                break;
            }
            default:
                return skip(SkipReason::NotIpv4);
        }
        if (etherType != etherTypeIpv4) return skip(SkipReason::NotIpv4);
        RecordParse result;
        if (auto packet = parseIpv4(in.rest())) {
            result.packet = *packet;
        } else {
            result.skipped = SkipReason::Malformed;
        }
        return result;
    } catch (const TruncatedInput&) {
        return skip(SkipReason::Malformed);
    }
}

}  // namespace compact
