// Fixed-width reads from one captured packet, bounded by the span it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

namespace compact {

// A captured packet ended before a field its headers promise.
class TruncatedInput : public std::runtime_error {
  public:
    TruncatedInput(size_t pos, size_t wanted)
        : std::runtime_error("at pos " + std::to_string(pos) + ": " + std::to_string(wanted) +
                             " bytes wanted, packet ends") {}
};

// Fixed-width reads from one captured packet; never reads past the span it was given.
// Byte order is in the name: network headers are big-endian, the BSD loopback family is not.
struct ByteReader {
    std::span<const uint8_t> bytes;
    size_t pos = 0;

    // The next n bytes; throws TruncatedInput when fewer are left.
    std::span<const uint8_t> take(size_t n) {
        if (n > bytes.size() - pos) throw TruncatedInput(pos, n);
        auto out = bytes.subspan(pos, n);
        pos += n;
        return out;
    }
    void skip(size_t n) { take(n); }
    size_t left() const { return bytes.size() - pos; }
    std::span<const uint8_t> rest() { return take(left()); }
    uint8_t read_u1() { return take(1)[0]; }
    uint16_t read_u2be() {
        auto b = take(2);
        return static_cast<uint16_t>(b[0] << 8 | b[1]);
    }
    uint32_t read_u4be() {
        auto b = take(4);
        return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
    }
    uint32_t read_u4le() {
        auto b = take(4);
        return uint32_t{b[3]} << 24 | uint32_t{b[2]} << 16 | uint32_t{b[1]} << 8 | b[0];
    }
};

}  // namespace compact
