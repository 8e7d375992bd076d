// compact_csv: receives Compact frames over UDP and writes the selected values as CSV.
#include "app/receiver.h"

int main(int argc, char** argv) { return runReceiver(argc, const_cast<const char**>(argv)); }
