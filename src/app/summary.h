// The one-line account of a finished capture conversion.
#pragma once

#include <cstdint>
#include <string>

class Status;
namespace compact {
class PcapReader;
}

// The account of a finished conversion in one line without line feed, from the reader's counters,
// the status object's and the rows written:
// "<capture>: 120 datagrams read, 0 filtered out, 4800 fragments reassembled, 2 incomplete
// datagrams dropped (1 time-out, 1 end of capture), 3 records skipped (3 not IPv4), 1 parse
// errors, 2 lost telegrams, 960 rows written". The parentheses list the reasons with a non-zero
// count, in a fixed order, and are left out when the count before them is 0.
std::string conversionSummary(const std::string& capturePath, const compact::PcapReader& reader,
                              const Status& status, uint64_t rowsWritten);
