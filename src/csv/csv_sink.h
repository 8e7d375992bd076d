// Where the CSV writer's text goes: an interface, so that selection and formatting need no file.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace compact {

// Receives the writer's text in chunks of whole rows (a chunk ends inside a row only when one
// row is longer than the writer's buffer).
class CsvSink {
  public:
    virtual ~CsvSink() = default;

    // Writes all of `text`; `endsRow` tells whether it ends at a row boundary. Returns false when
    // the text could not be written; errorText() then says why.
    virtual bool write(std::string_view text, bool endsRow) = 0;
    // Ends the output (flush and close where that applies); false on failure.
    virtual bool close() { return true; }
    // The reason of the last failure, "" before one.
    virtual std::string errorText() const = 0;
};

// A sink over a caller's stream, which must outlive it; a stream in a failed state is a failure.
class StreamSink : public CsvSink {
  public:
    explicit StreamSink(std::ostream& stream) : out(stream) {}
    bool write(std::string_view text, bool /*endsRow*/) override {
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        return !out.fail();
    }
    bool close() override { return !out.flush().fail(); }
    std::string errorText() const override { return out.fail() ? "output stream failed" : ""; }

  private:
    std::ostream& out;
};

}  // namespace compact
