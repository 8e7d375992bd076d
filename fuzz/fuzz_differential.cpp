// Fuzz target: the frame view and the view-based CSV writer against the object-tree decoder and
// the tree-walking stream writer. For any datagram and any writer options both paths must make
// the same decision (accept, or refuse with the same error class and text), read the same values
// and write byte-identical CSV. The datagram is fed three times: as given, again (the header must
// not repeat), and with its telegram version switched between 3 and 4 (another layout of the same
// bytes, which usually changes the columns).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "datagram_options.h"
#include "format/frame_view.h"
#include "fuzz_support.h"
#include "oracle/tree_oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::DatagramOptionBytes optionBytes{};
    const size_t optionSize = std::min(size, fuzzing::datagramOptionBytes);
    std::copy_n(data, optionSize, optionBytes.begin());
    // The tree-walking writer knows neither the receive time nor points.
    CompactCSV::Options options = fuzzing::datagramOptions(optionBytes);
    options.receiveTime = options.points = false;
    const std::string datagram(reinterpret_cast<const char*>(data) + optionSize, size - optionSize);
    std::string otherVersion = datagram;
    constexpr size_t versionAt = 24;
    if (otherVersion.size() > versionAt &&
        (otherVersion[versionAt] == 3 || otherVersion[versionAt] == 4))
        otherVersion[versionAt] = static_cast<char>(7 - otherVersion[versionAt]);

    std::ostringstream treeText, viewText;
    oracle::TreeCsv tree(options, treeText);
    CompactCSV writer(options, viewText);
    const std::string* const inputs[] = {&datagram, &datagram, &otherVersion};
    for (const std::string* bytes : inputs) {
        const std::string difference = oracle::viewVersusTree(*bytes);
        if (!difference.empty()) fuzzing::finding("view and tree differ: " + difference);
        const bool treeAccepts = tree.process(*bytes);
        compact::FrameView view;
        if (view.parse(bytes->data(), bytes->size()) != treeAccepts)
            fuzzing::finding("view and tree decide differently");
        if (treeAccepts) writer.process(view);
    }
    if (!writer.finish()) fuzzing::finding("writer reports a failed stream that cannot fail");
    if (viewText.str() != treeText.str()) {
        fuzzing::finding("CSV differs:\ntree:\n" + treeText.str().substr(0, 2000) + "\nview:\n" +
                         viewText.str().substr(0, 2000));
    }
    return 0;
}
