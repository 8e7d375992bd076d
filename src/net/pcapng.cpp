// pcapng blocks of raw IPv4 packets: the section and interface headers and one packet block per
// datagram. Block layouts: the pcapng file format's Section Header, Interface Description and
// Enhanced Packet Blocks, options as code, length, value padded to 32 bits.
#include "net/pcapng.h"

#include "net/byte_writer.h"
#include "net/ipv4.h"

namespace compact::pcapng {

namespace {

constexpr uint32_t sectionHeaderType = 0x0A0D0D0A;
constexpr uint32_t interfaceDescriptionType = 1;
constexpr uint32_t enhancedPacketType = 6;
// Written in the writer's byte order; a reader that sees it swapped swaps every field.
constexpr uint32_t byteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t majorVersion = 1;
constexpr uint16_t minorVersion = 0;
constexpr uint64_t sectionLengthUnknown = ~uint64_t{0};  // -1: the section is not measured
constexpr uint16_t optionEnd = 0;
constexpr uint16_t optionUserApplication = 4;      // shb_userappl: UTF-8 text, not terminated
constexpr uint16_t optionTimestampResolution = 9;  // if_tsresol: a power of 10, negated
constexpr uint8_t nanoseconds = 9;                 // 10^-9 s

// Every block: type and total length before the body, the total length again after it.
constexpr size_t blockFrameBytes = 12;
constexpr size_t optionHeaderBytes = 4;
// Section Header Block body before its options: magic, major and minor version, section length.
constexpr size_t sectionFixedBytes = 16;
// Interface Description Block: link type, reserved, snap length; if_tsresol (one byte, padded)
// and the end of options.
constexpr size_t interfaceBlockBytes =
    blockFrameBytes + 8 + optionHeaderBytes + 4 + optionHeaderBytes;
// Enhanced Packet Block body before the packet: interface, time stamp (2 words), captured and
// original length.
constexpr size_t packetFixedBytes = 20;
constexpr uint16_t maxOptionBytes = 65535;

constexpr size_t padded(size_t n) { return (n + 3) & ~size_t{3}; }

size_t sectionBlockSize(size_t nameBytes) {
    return blockFrameBytes + sectionFixedBytes + optionHeaderBytes + padded(nameBytes) +
           optionHeaderBytes;
}

void writeOptionText(ByteWriter& to, uint16_t code, std::string_view a, std::string_view b) {
    const size_t length = a.size() + 1 + b.size();
    to.write_u2le(code);
    to.write_u2le(static_cast<uint16_t>(length));
    auto bytes = [](std::string_view text) {
        return std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    };
    to.write(bytes(a));
    to.write_u1(' ');
    to.write(bytes(b));
    to.write_zeros(padded(length) - length);
}

}  // namespace

size_t fileHeaderSize(std::string_view program, std::string_view version) {
    const size_t nameBytes = program.size() + 1 + version.size();
    if (nameBytes > maxOptionBytes) return 0;
    return sectionBlockSize(nameBytes) + interfaceBlockBytes;
}

size_t writeFileHeader(std::span<uint8_t> out, std::string_view program, std::string_view version) {
    const size_t size = fileHeaderSize(program, version);
    if (size == 0 || out.size() < size) return 0;
    ByteWriter to{out};
    const auto sectionBytes = static_cast<uint32_t>(size - interfaceBlockBytes);
    to.write_u4le(sectionHeaderType);
    to.write_u4le(sectionBytes);
    to.write_u4le(byteOrderMagic);
    to.write_u2le(majorVersion);
    to.write_u2le(minorVersion);
    to.write_u8le(sectionLengthUnknown);
    writeOptionText(to, optionUserApplication, program, version);
    to.write_u2le(optionEnd);
    to.write_u2le(0);
    to.write_u4le(sectionBytes);

    to.write_u4le(interfaceDescriptionType);
    to.write_u4le(interfaceBlockBytes);
    to.write_u2le(linkTypeRaw);
    to.write_u2le(0);  // reserved
    to.write_u4le(snapLengthBytes);
    to.write_u2le(optionTimestampResolution);
    to.write_u2le(1);
    to.write_u1(nanoseconds);
    to.write_zeros(3);
    to.write_u2le(optionEnd);
    to.write_u2le(0);
    to.write_u4le(interfaceBlockBytes);
    return to.pos;
}

size_t packetBlockSize(size_t payloadBytes) {
    if (payloadBytes > maxPayloadBytes) return 0;
    return blockFrameBytes + packetFixedBytes + padded(packetHeaderBytes + payloadBytes);
}

size_t writePacketBlock(std::span<uint8_t> out, const UdpDatagram& datagram,
                        uint16_t identification) {
    const size_t size = packetBlockSize(datagram.payload.size());
    if (size == 0 || out.size() < size) return 0;
    const auto packetBytes = static_cast<uint32_t>(packetHeaderBytes + datagram.payload.size());
    const auto udpBytes = static_cast<uint16_t>(udpHeaderBytes + datagram.payload.size());
    ByteWriter to{out};
    to.write_u4le(enhancedPacketType);
    to.write_u4le(static_cast<uint32_t>(size));
    to.write_u4le(0);  // the interface: the file's only one
    to.write_u4le(static_cast<uint32_t>(datagram.receiveTimeNs >> 32));
    to.write_u4le(static_cast<uint32_t>(datagram.receiveTimeNs));
    to.write_u4le(packetBytes);  // captured
    to.write_u4le(packetBytes);  // on the wire
    writeIpv4Header(to.take(ipv4MinHeaderBytes).first<ipv4MinHeaderBytes>(),
                    {.source = datagram.sourceAddress,
                     .destination = datagram.destinationAddress,
                     .identification = identification,
                     .payloadBytes = udpBytes});
    to.write_u2be(datagram.sourcePort);
    to.write_u2be(datagram.destinationPort);
    to.write_u2be(udpBytes);
    to.write_u2be(0);  // UDP over IPv4: 0 means no checksum
    to.write(datagram.payload);
    to.write_zeros(padded(packetBytes) - packetBytes);
    to.write_u4le(static_cast<uint32_t>(size));
    return to.pos;
}

}  // namespace compact::pcapng
