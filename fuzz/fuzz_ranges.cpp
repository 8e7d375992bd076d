// Fuzz target: the command line's range conversions on any text. Their own
// std::invalid_argument and std::out_of_range are the expected refusals; anything else escaping,
// or a result that breaks the documented shape, is a finding.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "app/command_line.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // Both conversions stop reading at a NUL (they parse the C string), but look for the colon
    // in the whole text.
    const bool hasColon = text.find(':') != std::string::npos;

    try {
        const std::vector<int> range = intRange(text);
        if (range.size() != 2) fuzzing::finding("intRange: not two values");
        if (range[0] > range[1]) fuzzing::finding("intRange: values not lowest first");
        if (!hasColon && range[0] != range[1]) fuzzing::finding("intRange: one number, two values");
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }

    try {
        const std::vector<float> range = angleRange(text);
        if (range.size() != (hasColon ? 2u : 1u)) fuzzing::finding("angleRange: value count");
        if (range.size() == 2 && !std::isnan(range[0]) && !std::isnan(range[1]) &&
            range[0] > range[1]) {
            fuzzing::finding("angleRange: values not lowest first");
        }
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    return 0;
}
