// The object-tree decoder as the oracle that the frame view is held to: the decision and error
// text for any bytes, every decoded value, and the CSV the tree-walking stream writer produced.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "csv/compact_csv.h"

namespace oracle {

// What the tree decoder says about a datagram: nullopt when it accepts it, otherwise a short
// class name ("not_equal", "less_than", "greater_than", "ios_failure", or "other") and what().
struct TreeRefusal {
    std::string errorClass;
    std::string message;
};
std::optional<TreeRefusal> treeRefusal(std::string_view datagram);

// Compares the frame view with the tree decoder on one datagram: the decision, the error class
// and text of a refusal, and every value of an accepted frame. Returns "" when they agree,
// otherwise a description of the first difference.
std::string viewVersusTree(std::string_view datagram);

// The CSV rows of a sequence of datagrams as the tree-walking stream writer wrote them (header
// changes across datagrams included); refused datagrams write nothing.
class TreeCsv {
  public:
    TreeCsv(const CompactCSV::Options& options, std::ostream& out);
    ~TreeCsv();
    TreeCsv(const TreeCsv&) = delete;
    TreeCsv& operator=(const TreeCsv&) = delete;
    // Decodes the datagram with the tree decoder and writes its rows; false when refused.
    bool process(std::string_view datagram);

  private:
    struct Writer;
    Writer* writer;
};

}  // namespace oracle
