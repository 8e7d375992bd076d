// Input layout of the fuzz_reassembly target: reading fragments from the input, and writing
// them for the seed generator.
#include "reassembly_input.h"

#include <algorithm>

namespace fuzzing {

FragmentOp ReassemblyInputReader::next() {
    FragmentOp op;
    const uint8_t control = byte();
    op.key = control & 0x03u;
    op.moreFragments = (control & 0x04u) != 0;
    op.inputPayload = (control & 0x08u) != 0;
    op.timeStep = control >> 4;
    const unsigned word = static_cast<unsigned>(byte()) << 8 | byte();
    op.offsetUnits = static_cast<uint16_t>(word & 0x1FFFu);
    op.headerWords = word >> 13;
    const unsigned length = static_cast<unsigned>(byte()) << 8 | byte();
    op.length = static_cast<uint16_t>(length);
    if (op.inputPayload) {
        const size_t n = std::min<size_t>(op.length, size - pos);
        op.payload.assign(reinterpret_cast<const char*>(data) + pos, n);
        pos += n;
    }
    return op;
}

std::string encodeReassemblyInput(uint8_t maxInProgress, uint8_t heldKiB, uint8_t timeoutUnits,
                                  const std::vector<FragmentOp>& ops) {
    std::string out{static_cast<char>(maxInProgress), static_cast<char>(heldKiB),
                    static_cast<char>(timeoutUnits)};
    for (const FragmentOp& op : ops) {
        out.push_back(static_cast<char>(op.key | op.moreFragments << 2 | op.inputPayload << 3 |
                                        op.timeStep << 4));
        const unsigned word = op.offsetUnits | op.headerWords << 13;
        out.push_back(static_cast<char>(word >> 8));
        out.push_back(static_cast<char>(word));
        out.push_back(static_cast<char>(op.length >> 8));
        out.push_back(static_cast<char>(op.length));
        if (op.inputPayload) out += op.payload;
    }
    return out;
}

}  // namespace fuzzing
