// Fuzz target: IPv4 fragment reassembly under fuzzed limits, with fragments of four interleaved
// datagrams. Checks after every fragment that the limits hold and that a datagram assembled
// only from true fragments equals the true bytes, whatever the order, overlap or timing.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "net/ipv4_reassembly.h"
#include "reassembly_input.h"

namespace {

constexpr uint32_t keySourceBase = 0x0A000001;  // 10.0.0.1, 10.0.0.2, ...
constexpr uint32_t destination = 0x0A0000FE;    // 10.0.0.254
constexpr uint8_t protocolUdp = 17;             // IANA protocol number
// Units of the limits block (reassembly_input.h).
constexpr uint64_t nsPerTimeoutUnit = 10'000'000;
constexpr size_t bytesPerKiB = 1024;
constexpr uint8_t ipv4MinHeaderBytes = 20;  // IHL of 5 words, RFC 791

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace fuzzing;
    using compact::Ipv4Reassembler;
    using compact::ReassemblyStatus;

    ReassemblyInputReader in(data, size);
    Ipv4Reassembler::Limits limits;
    limits.maxInProgress = in.byte() % 9;
    limits.maxHeldBytes = in.byte() * bytesPerKiB;
    limits.timeoutNs = (in.byte() + 1u) * nsPerTimeoutUnit;
    Ipv4Reassembler reassembler(limits);

    // The true bytes of each datagram, long enough for the largest offset plus length.
    static const auto truth = [] {
        std::array<std::vector<uint8_t>, reassemblyKeys> bytes;
        for (unsigned k = 0; k < reassemblyKeys; ++k) {
            bytes[k].resize(8 * 8191 + 65535);
            for (size_t i = 0; i < bytes[k].size(); ++i) bytes[k][i] = trueByte(k, i);
        }
        return bytes;
    }();
    // A datagram may be compared with the truth only while no input payload went into it.
    std::array<bool, reassemblyKeys> tainted{};

    int64_t timeNs = 0;
    uint64_t added = 0;
    std::vector<uint8_t> datagram;
    while (!in.done()) {
        const FragmentOp op = in.next();
        timeNs = std::max<int64_t>(0, timeNs + reassemblyTimeSteps[op.timeStep]);
        const uint32_t offset = op.offsetUnits * 8u;

        compact::Ipv4Packet packet;
        packet.source = keySourceBase + op.key;
        packet.destination = destination;
        packet.protocol = protocolUdp;
        packet.identification = static_cast<uint16_t>(0x1000 + op.key);
        packet.fragmentOffsetBytes = offset;
        packet.moreFragments = op.moreFragments;
        packet.headerLength = static_cast<uint8_t>(ipv4MinHeaderBytes + 4 * op.headerWords);
        if (op.inputPayload) {
            packet.payload = {reinterpret_cast<const uint8_t*>(op.payload.data()),
                              op.payload.size()};
            tainted[op.key] = true;
        } else {
            packet.payload = {truth[op.key].data() + offset, op.length};
        }

        const ReassemblyStatus status =
            reassembler.add(packet, static_cast<uint64_t>(timeNs), datagram);
        ++added;

        if (reassembler.inProgress() > limits.maxInProgress) finding("in-progress limit passed");
        if (reassembler.heldBytes() > limits.maxHeldBytes) finding("held-byte limit passed");
        if (reassembler.inProgress() == 0 && reassembler.heldBytes() != 0) {
            finding("bytes held without a datagram in progress");
        }
        if (reassembler.stats().fragments != added) finding("fragment count");
        if (status == ReassemblyStatus::Complete) {
            const size_t end = offset + packet.payload.size();
            if (datagram.size() < end || (!op.moreFragments && datagram.size() != end)) {
                finding("completed datagram does not end where its fragments say");
            }
            if (datagram.size() + ipv4MinHeaderBytes > Ipv4Reassembler::maxDatagramBytes) {
                finding("completed datagram longer than IPv4 allows");
            }
            if (!tainted[op.key] &&
                !std::equal(datagram.begin(), datagram.end(), truth[op.key].begin())) {
                finding("completed datagram differs from its fragments");
            }
            tainted[op.key] = false;  // the next datagram of this key starts afresh
        }
        if (reassembler.inProgress() == 0) tainted.fill(false);
    }

    reassembler.finish();
    if (reassembler.inProgress() != 0 || reassembler.heldBytes() != 0) {
        finding("finish() left datagrams or bytes behind");
    }
    return 0;
}
