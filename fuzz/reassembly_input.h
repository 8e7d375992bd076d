// Input layout of the fuzz_reassembly target, shared with the seed generator: the reassembler's
// limits, then a sequence of fragments of four interleaved datagrams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzing {

// Limits block: byte 0 the in-progress limit (modulo 9), byte 1 the held-byte limit in KiB,
// byte 2 the time-out in units of 10 ms (value + 1).
constexpr size_t reassemblyLimitBytes = 3;

// Four datagrams, told apart by source address and identification.
constexpr unsigned reassemblyKeys = 4;

// One fragment. On the wire: a control byte (bits 0..1 key, bit 2 more fragments, bit 3 payload
// taken from the input instead of the key's true bytes, bits 4..7 index of the capture-time
// step), a big-endian word (bits 0..12 offset in 8-byte units as in the IPv4 header, bits
// 13..15 header length (20 + 4 * value bytes)), a big-endian payload length, and for an input
// payload that many bytes (fewer if the input ends).
struct FragmentOp {
    unsigned key = 0;
    bool moreFragments = false;
    bool inputPayload = false;
    unsigned timeStep = 0;
    uint16_t offsetUnits = 0;  // 0..8191
    unsigned headerWords = 0;  // 0..7 above the minimum 20-byte header
    uint16_t length = 0;
    std::string payload;  // inputPayload only
};
constexpr size_t fragmentOpBytes = 1 + 2 + 2;

// Capture-time steps in ns, indexed by FragmentOp::timeStep: mostly small, some beyond any
// time-out, two backwards (merged captures may step back).
// clang-format off
constexpr int64_t reassemblyTimeSteps[16] = {
    0, 0, 0, 0, 1'000, 1'000'000, 1'000'000, 10'000'000, 100'000'000, 500'000'000,
    1'500'000'000, 2'500'000'000, 10'000'000'000, 60'000'000'000, -1'000'000, -1'000'000'000};
// clang-format on

// The true byte at `offset` of datagram `key`: what a fragment without inputPayload carries.
inline uint8_t trueByte(unsigned key, size_t offset) {
    // Multipliers coprime with 256 give distinct bytes for nearby offsets of different keys.
    return static_cast<uint8_t>(offset * 131 + (offset >> 8) * 7 + key * 29 + 1);
}

// Reads limits and fragments from a fuzz input. Bytes missing at the end read as 0; a fragment
// needs its fixed bytes in full, its input payload may be cut short by the end.
class ReassemblyInputReader {
  public:
    ReassemblyInputReader(const uint8_t* input, size_t inputSize) : data(input), size(inputSize) {}
    // The next byte, 0 past the end; for the limits block.
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    // True when no further complete fragment header is left.
    bool done() const { return pos + fragmentOpBytes > size; }
    FragmentOp next();

  private:
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
};

// The input bytes for limits and fragments (the seed generator's side of the layout).
std::string encodeReassemblyInput(uint8_t maxInProgress, uint8_t heldKiB, uint8_t timeoutUnits,
                                  const std::vector<FragmentOp>& ops);

}  // namespace fuzzing
