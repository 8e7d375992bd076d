// The writer's output target: the file it opens and truncates, or standard output, and the final
// flush and close whose errors the caller asks for. The writer's constructors live here too: its
// file member needs the complete stream type.
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "csv/compact_csv.h"

CompactCSV::CompactCSV(const Options& settings) : options(settings) {
    if (settings.csvFile == "-") {
        out = &std::cout;
        return;
    }
    // Text mode, output only: an existing file is truncated, a missing one created.
    file = std::make_unique<std::ofstream>(settings.csvFile, std::ios::out | std::ios::trunc);
    if (!file->is_open()) {
        std::cerr << "Failed to open file for writing" << std::endl;
        file.reset();
        std::exit(1);
    }
    out = file.get();
}

CompactCSV::CompactCSV(const Options& settings, std::ostream& target)
    : options(settings), out(&target) {}

CompactCSV::~CompactCSV() { finish(); }

bool CompactCSV::finish() {
    if (out == nullptr) return !streamFailed;
    errno = 0;
    out->flush();
    if (file) file->close();  // writes what is left in the buffer; a failure sets failbit
    checkStream();
    out = nullptr;
    file.reset();
    return !streamFailed;
}
