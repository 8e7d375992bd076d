// The receiver from command line to exit status.
#pragma once

// The receiver from command line to exit status: parses the arguments (which may end the process,
// see parseArguments and processArguments), refuses a port outside 1..65535 ("Port must be between
// 1 and 65535", status 1), binds the socket (connected to --address when given) with a 1 s receive
// time-out, creates the status line when writing to a file, opens the writer, and receives until
// SIGINT or SIGTERM. Then releases writer, status and socket in that order.
// Returns 0 after a stop by signal with all output written; 1 after a failed write
// ("Failed to write output:" + system error text on standard error) or a set-up error thrown by the
// socket or the signal handler (its message on standard error). Socket creation, bind and output
// file failures end the process with status 1 inside those classes.
//
// With --pcap FILE it converts the capture instead and opens no socket: datagrams to "port" (from
// "address", when given) go through handleDatagram until the end of the file or SIGINT/SIGTERM,
// then the summary line of conversionSummary follows on standard output (on standard error when
// the CSV goes to standard output), after a line feed that ends a status line shown. Returns 0
// then. A file that cannot be opened or is not a capture: libpcap's error text on standard error,
// status 1, before the output is opened. A read error in the middle of the file (a record cut off)
// ends the conversion like the end of the file, with "<capture>: <libpcap's text>" on standard
// error.
int runReceiver(int argc, const char** argv);
