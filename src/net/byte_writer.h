// Fixed-width writes into a caller's buffer, bounded by the span it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>

namespace compact {

// Fixed-width writes into a caller's buffer; never writes past the span it was given. Callers
// size the buffer before they write, so a write that does not fit is a fault of the caller and
// throws std::length_error. Byte order is in the name: network headers are big-endian, capture
// file blocks little-endian.
struct ByteWriter {
    std::span<uint8_t> bytes;
    size_t pos = 0;

    // The next n bytes of the buffer, to be filled by the caller.
    std::span<uint8_t> take(size_t n) {
        if (n > bytes.size() - pos) throw std::length_error("ByteWriter: buffer full");
        auto out = bytes.subspan(pos, n);
        pos += n;
        return out;
    }
    void write(std::span<const uint8_t> data) {
        auto out = take(data.size());
        if (!data.empty()) std::memcpy(out.data(), data.data(), data.size());
    }
    void write_zeros(size_t n) {
        auto out = take(n);
        if (n != 0) std::memset(out.data(), 0, n);
    }
    void write_u1(uint8_t value) { take(1)[0] = value; }
    void write_u2be(uint16_t value) {
        auto b = take(2);
        b[0] = static_cast<uint8_t>(value >> 8);
        b[1] = static_cast<uint8_t>(value);
    }
    void write_u4be(uint32_t value) {
        write_u2be(static_cast<uint16_t>(value >> 16));
        write_u2be(static_cast<uint16_t>(value));
    }
    void write_u2le(uint16_t value) {
        auto b = take(2);
        b[0] = static_cast<uint8_t>(value);
        b[1] = static_cast<uint8_t>(value >> 8);
    }
    void write_u4le(uint32_t value) {
        write_u2le(static_cast<uint16_t>(value));
        write_u2le(static_cast<uint16_t>(value >> 16));
    }
    void write_u8le(uint64_t value) {
        write_u4le(static_cast<uint32_t>(value));
        write_u4le(static_cast<uint32_t>(value >> 32));
    }
};

}  // namespace compact
