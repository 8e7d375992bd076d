// The one-line accounts of a finished run: live, and of a capture conversion.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "csv/compact_csv.h"

class Status;
class PerSenderRun;
struct RunEnd;
struct SocketOptions;
namespace compact {
class PcapReader;
}

// "12 parse errors (3 wrong magic, 9 truncated)": the total and, when it is not 0, the kinds
// with a count, in a fixed order.
std::string parseErrorText(const Status& status);

// The account of a finished live run in one line without line feed:
// "Received 14400 telegrams in 60.0 s: 3 lost at the sensor or on the network, 0 dropped by this
// host, 0 counter resets, 0 parse errors, 230400 rows written (12.4 MiB)". The loss is the
// counters missing from the senders' telegrams that this host did not drop from its queue (those
// it had in hand and counted against their sender); when the kernel dropped datagrams too, which
// may or may not have been telegrams, it is "missing from the telegram counters (0 to N may be
// this host's drops)", never a netted figure. Late telegrams, counter jumps, telegrams missed
// while another program shared the port and senders not followed are added when they happened;
// the loss is "at least" one when senders were not followed.
std::string liveSummary(const Status& status, double seconds, uint64_t kernelDrops,
                        uint64_t queueDrops, const std::string& outputs);

// The account of a finished conversion in one line without line feed, from the reader's counters,
// the status object's and the rows written:
// "<capture>: 120 datagrams read, 0 filtered out, 4800 fragments reassembled, 2 incomplete
// datagrams dropped (1 time-out, 1 end of capture), 3 records skipped (3 not IPv4), 1 parse
// errors (1 truncated), 2 lost telegrams, 960 rows written". The parentheses list the reasons with
// a non-zero count, in a fixed order, and are left out when the count before them is 0.
std::string conversionSummary(const std::string& capturePath, const compact::PcapReader& reader,
                              const Status& status, const std::string& outputs);

// The lines that follow a run's account when something out of the ordinary happened: datagrams left
// unwritten in the queue (a second stop signal, a failed output), failed receive calls, datagrams
// without the kernel's receive time, rows that went to an output file removed during the run
// (`rowsLost`).
// `ringRemoved`: rows and datagrams in the segments a ring (-W) removed.
std::vector<std::string> runNotes(const RunEnd& end, uint64_t rowsLost, uint64_t ringRows,
                                  uint64_t ringDatagrams);

// A decimal with at most `decimals` places, trailing zeros left out: 2.5, 3, -0 as 0.
std::string decimalText(double value, int decimals);
// An angle in radians as degrees to a hundredth, as decimalText writes it.
std::string degreesText(float radians);

// The filters as they are written on the command line ("--line 0 --beam 0:9", angles in degrees,
// the phi tolerance with a single phi); "" without filters.
std::string filterText(const CompactCSV::Options& options);

// The line a live run starts with, on standard error: what it listens to, where the rows go and
// the filters: "Receiving on UDP port 2115 from any address; rows to out.csv; filters: --line 0".
// `output`: the CSV path, "-" for standard output, "" for none; `capture`: the path of -w, or "".
// Without either, the run describes the stream.
std::string startLine(const SocketOptions& socket, const std::string& output,
                      const CompactCSV::Options& options, const std::string& capture);

// After a live run in which nothing arrived: "Nothing arrived on UDP port 2116 (from 10.0.0.1)".
std::string nothingArrived(const SocketOptions& socket);

// The lines of --per-sender's files for the account: each file with its rows and the loss of the
// senders it holds, then the telegrams of senders beyond the files, when there were any.
std::string senderAccount(const PerSenderRun& run, const Status& status);
