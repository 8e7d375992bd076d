// The receiver from command line to exit status.
#pragma once

// The receiver from command line to exit status. First claims the standard descriptors, ignores
// SIGPIPE, parses the arguments (see parseArguments and processArguments: --help and --version
// end the program with status 0, a refused command line with its message and status 1) and installs
// the stop signals (SIGINT, SIGTERM, SIGHUP); only then opens anything for writing.
//
// Live: binds the socket (connected to --address when given; a warning when another program
// already receives on the port), asks for the receive buffer, opens the output (truncating a
// file) and receives until a stop signal (see receiveUntilStopped), with the status line when
// writing to a file. Then writes the last rows and the account of the run (liveSummary): on
// standard output with a file, on standard error with the CSV on standard output; a hint when no
// row was written although frames arrived.
//
// With --pcap FILE it converts the capture instead (no socket): datagrams to "port" (from
// "address", when given) are written until the end of the file or a stop signal, then the account
// of conversionSummary follows. A file that cannot be opened or is not a capture: libpcap's text,
// status 1, before the output is opened; an output that is the capture itself is refused. A
// capture cut off inside its last record is converted up to the cut (libpcap's text, status 0); a
// record libpcap refuses in the middle of the file ends the conversion with status 1.
//
// With --describe it receives (or reads the capture) the same way but writes no CSV, and prints
// the stream's description (StreamDescription) at the end.
//
// Returns 0 after a stop by signal with all output written (also when the reader of the CSV on
// standard output went away); 1 after a failed write or output file, or a set-up error (its
// message on standard error). Socket creation and bind failures and an output file that cannot be
// opened end the process with status 1 where they happen.
int runReceiver(int argc, const char** argv);
