// Shared pieces of the fuzz targets: decoding one datagram into the CSV writer with the decoder's
// and the writer's promises checked, and the way a target reports a broken promise.
#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ios>

#include "format/compact_frame.h"
#include "format/compact_frame_magic.h"
#include "format/frame_view.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#endif
#endif

namespace fuzzing {

namespace {

using Frame = ravo::compact_frame_t;

// Every header line starts with one of these column names (the second with the receive time
// column); no data row can (rows start with a number).
const std::string headerStart = "sender_id,";
const std::string timedHeaderStart = "receive_time,";

// A wire count as the decoder uses it: signed 32-bit, negative counts give no elements.
size_t elements(uint32_t count) {
    const auto n = static_cast<int32_t>(count);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

// The tree has exactly the elements and optional fields that its counts, flags and version say.
void checkTree(const Frame& frame) {
    const bool version4 = frame.header()->telegram_version() > 3;
    if (frame.modules() == nullptr) {
        if (frame.header()->first_module_size() != 0) finding("modules missing");
        return;
    }
    for (const auto& module : *frame.modules()) {
        const Frame::metadata_t& meta = *module->metadata();
        const size_t lines = elements(meta.num_lines());
        const size_t echoes = elements(meta.num_echos());
        const bool hasTheta = meta.data_content_beams()->has_theta();
        const bool hasProperties = meta.data_content_beams()->has_properties();
        const bool hasDistance = meta.data_content_echos()->has_distance();
        const bool hasRssi = meta.data_content_echos()->has_rssi();
        if (meta.phi()->size() != lines || meta.theta_stop()->size() != lines ||
            meta.timestamp_start()->size() != lines) {
            finding("per-line arrays differ from num_lines");
        }
        if (meta._is_null_distance_scaling_factor() == version4) {
            finding("distance_scaling_factor presence differs from the version");
        }
        if (module->beams()->size() != elements(meta.num_beams())) {
            finding("beam count differs from num_beams");
        }
        for (const auto& beam : *module->beams()) {
            if (beam->measurement_data()->size() != lines) finding("measurements per beam");
            for (const auto& m : *beam->measurement_data()) {
                if (m->echos()->size() != echoes) finding("echoes per measurement");
                if ((m->beam_properties() != nullptr) != hasProperties ||
                    m->_is_null_theta_v4() == (hasTheta && version4) ||
                    m->_is_null_theta_v3() == (hasTheta && !version4)) {
                    finding("optional measurement fields differ from the flags");
                }
                for (const auto& e : *m->echos()) {
                    if (e->_is_null_distance_raw() == hasDistance ||
                        e->_is_null_rssi() == hasRssi) {
                        finding("echo fields differ from the flags");
                    }
                }
            }
        }
    }
}

// The checks read every byte of output. Instrumented like the code under test, they took about a
// third of fuzz_receiver's time (a coverage callback per compared byte, an address check per byte
// read), for edges of no interest to the fuzzer; so with clang they are not instrumented, and the
// bytes the writer hands over are checked once per chunk instead.
#if defined(__clang__)
#define FUZZ_UNINSTRUMENTED __attribute__((no_sanitize("coverage", "address")))
#else
#define FUZZ_UNINSTRUMENTED
#endif

// With AddressSanitizer: the writer hands over only bytes it owns, all of them readable.
void checkOwned(std::string_view text) {
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
    if (__asan_region_is_poisoned(const_cast<char*>(text.data()), text.size()) != nullptr)
        finding("CSV chunk reaches beyond the writer's buffer");
#endif
#endif
    (void)text;
}

}  // namespace

void finding(const std::string& what) {
    std::fprintf(stderr, "finding: %s\n", what.c_str());
    std::abort();
}

void CsvCheckSink::finish() const {
    if (midLine) finding("CSV output ends inside a line");
}

FUZZ_UNINSTRUMENTED bool CsvCheckSink::write(std::string_view text, bool endsRow) {
    if (text.empty()) return true;
    checkOwned(text);
    if (endsRow != (text.back() == '\n')) finding("CSV chunk ends otherwise than the writer says");
    if (!endsRow && (text.find('\n') != text.npos || text.size() < CompactCSV::bufferBytes))
        finding("CSV chunk that is not one piece of a row longer than the buffer");
    // Line by line, with plain pointers: an uninstrumented function does not inline
    // instrumented ones, so no string member is called per byte.
    const char* at = text.data();
    const char* const end = at + text.size();
    while (at != end) {
        const auto* newline = static_cast<const char*>(std::memchr(at, '\n', size_t(end - at)));
        const char* const stop = newline != nullptr ? newline : end;
        if (lineStart.size() < timedHeaderStart.size())
            lineStart.append(
                at, std::min(size_t(stop - at), timedHeaderStart.size() - lineStart.size()));
        size_t n = 0;
        for (const char* c = at; c != stop; ++c) n += *c == ',';
        commas += n;
        if (newline == nullptr) break;
        endLine();
        at = newline + 1;
    }
    midLine = !endsRow;
    return true;
}

FUZZ_UNINSTRUMENTED void CsvCheckSink::endLine() {
    if (lineStart.starts_with(headerStart) || lineStart == timedHeaderStart) {
        headerSeen = true;
        headerCommas = commas;
    } else if (!headerSeen) {
        finding("CSV row before any header");
    } else if (commas != headerCommas) {
        finding("CSV row with " + std::to_string(commas + 1) + " fields under a header of " +
                std::to_string(headerCommas + 1));
    } else {
        ++dataRows;
    }
    lineStart.clear();
    commas = 0;
}

bool decodeAndWrite(const std::string& bytes, CompactCSV& writer) {
    try {
        kaitai::kstream io(bytes);
        ravo::compact_frame_magic_t top(&io);
        checkTree(*top.frame());
        compact::FrameView view;
        if (!view.parse(bytes.data(), bytes.size()))
            finding("the view refuses what the tree accepts");
        writer.process(view);
        return true;
    } catch (const kaitai::kstruct_error&) {
        return false;
    } catch (const std::ios_base::failure&) {
        return false;
    }
}

}  // namespace fuzzing
