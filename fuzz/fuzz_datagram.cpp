// Fuzz target: one datagram through the decoder and the CSV writer, with the writer's options
// (header style, omitted angles, every filter) taken from the input's leading bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "datagram_options.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::DatagramOptionBytes optionBytes{};
    const size_t optionSize = std::min(size, fuzzing::datagramOptionBytes);
    std::copy_n(data, optionSize, optionBytes.begin());

    fuzzing::CsvCheckBuffer check;
    std::ostream out(&check);
    CompactCSV writer(fuzzing::datagramOptions(optionBytes), out);
    fuzzing::decodeAndWrite(
        std::string(reinterpret_cast<const char*>(data) + optionSize, size - optionSize), writer);
    if (!writer.finish()) fuzzing::finding("writer reports a failed stream that cannot fail");
    check.finish();
    return 0;
}
