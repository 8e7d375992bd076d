// Shared pieces of the fuzz targets: decoding one datagram into the CSV writer with the decoder's
// and the writer's promises checked, and the way a target reports a broken promise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "csv/compact_csv.h"
#include "csv/csv_sink.h"

namespace fuzzing {

// Reports a broken promise on standard error and aborts, which the fuzzer records as a crash
// with the input that caused it.
[[noreturn]] void finding(const std::string& what);

// A sink that keeps nothing but checks the CSV as it passes: every row must follow a header and
// have as many fields as that header, and a chunk must end at a row boundary exactly when the
// writer says so; only a row longer than the writer's buffer may come in pieces. Rows are
// formatted in full, so the writer does all its work.
class CsvCheckSink : public compact::CsvSink {
  public:
    bool write(std::string_view text, bool endsRow) override;
    std::string errorText() const override { return ""; }
    // Reports a finding when output ends in the middle of a line (rows always end with '\n').
    void finish() const;
    // Data rows seen so far (headers not counted).
    uint64_t rows() const { return dataRows; }

  private:
    void endLine();

    std::string lineStart;    // the first bytes of the current line, to tell headers from rows
    size_t commas = 0;        // in the current line
    size_t headerCommas = 0;  // in the last header
    uint64_t dataRows = 0;
    bool headerSeen = false;
    bool midLine = false;
};

// Decodes `bytes` as one datagram, checks the decoded tree against its counts and flags, and
// hands it to `writer`. Returns false when the decoder refused the datagram with one of its two
// documented errors (the kaitai::kstruct_error family, the end-of-data std::ios_base::failure);
// any other exception escapes, which the fuzzer reports as a crash.
bool decodeAndWrite(const std::string& bytes, CompactCSV& writer);

}  // namespace fuzzing
