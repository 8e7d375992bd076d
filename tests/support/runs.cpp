// Runs of the built programs for the end-to-end tests.
#include "support/runs.h"

#include <gmock/gmock.h>
#include <signal.h>

#include <algorithm>
#include <optional>
#include <regex>
#include <sstream>

#include "generators/compact_frame_builder.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace testing_support {

std::unique_ptr<ChildProcess> startReceiver(unsigned short port, std::vector<std::string> arguments,
                                            StandardOutput output) {
    arguments.insert(arguments.begin(), {"--port", std::to_string(port)});
    auto receiver = std::make_unique<ChildProcess>(COMPACT_CSV_EXE, arguments, -1, output);
    // The stop handlers come first, then the socket and the output; the receiving thread starts
    // once everything is set up.
    EXPECT_TRUE(receiver->waitForSignalHandler(SIGHUP, deadline)) << receiver->err();
    EXPECT_TRUE(receiver->waitUntilReceiving(deadline)) << receiver->err();
    return receiver;
}

std::string messages(const ChildProcess& child) {
    std::istringstream in(child.err());
    std::string kept;
    for (std::string line; std::getline(in, line);)
        if (!line.starts_with("Receive buffer limited to ") &&
            !line.starts_with("Receiving on UDP"))
            kept += line + '\n';
    return kept;
}

std::string simulate(const std::vector<std::string>& arguments) {
    const ProgramRun run = runProgram(COMPACT_SIM_EXE, arguments, deadline);
    EXPECT_EQ(run.status, exitedWith0) << run.err;
    return run.out;
}

std::string numberedFrame(uint64_t n, uint32_t lines, uint32_t beams, uint32_t echoes,
                          uint32_t senderId) {
    compact::FrameSpec layout{.telegramCounter = n,
                              .modules = {compact::makeModule(lines, beams, echoes)}};
    layout.modules[0].frameNumber = n;
    layout.modules[0].senderId = senderId;
    return compact::encodeFrame(layout);
}

std::set<uint64_t> framesIn(const std::string& csv) {
    std::set<uint64_t> frames;
    if (csv.empty()) return frames;
    EXPECT_EQ(csv.back(), '\n') << "the output ends inside a row";
    std::istringstream in(csv);
    size_t columns = 0;
    for (std::string line; std::getline(in, line);) {
        const auto fields = static_cast<size_t>(std::count(line.begin(), line.end(), ',')) + 1;
        if (line.starts_with("sender_id,")) {
            columns = fields;
            continue;
        }
        EXPECT_EQ(fields, columns) << "a cut or stray row: " << line.substr(0, 80);
        frames.insert(std::stoull(line.substr(line.find(',') + 1)));
    }
    return frames;
}

namespace {

std::optional<std::smatch> lastMatch(const std::string& text, const std::string& pattern) {
    std::optional<std::smatch> found;
    const std::regex expression(pattern);
    for (std::sregex_iterator i(text.begin(), text.end(), expression), end; i != end; ++i)
        found = *i;
    return found;
}

}  // namespace

int64_t figure(const std::string& text, const std::string& label) {
    const auto match = lastMatch(text, "(\\d+) " + label);
    return match ? std::stoll((*match)[1].str()) : -1;
}

std::string reasons(const std::string& text, const std::string& label) {
    const auto match = lastMatch(text, "\\d+ " + label + "(?: \\(([^)]*)\\))?");
    return match ? (*match)[1].str() : "";
}

const std::vector<std::string> describedStream{"-n", "24", "--skip-every", "5", "--bad-every", "6"};

void expectDescribedStream(const std::string& report, const std::string& sender) {
    using testing::AllOf;
    using testing::HasSubstr;
    SCOPED_TRACE(report);
    EXPECT_THAT(report, HasSubstr("Telegrams: 24 accepted, 4 refused\n"));
    EXPECT_THAT(report, HasSubstr("Filters: --phi 0 --phi-tolerance 1 --theta 10:20\n"));
    EXPECT_THAT(report, AllOf(HasSubstr(sender + " sender_id 1: 24 telegrams, telegram version 4"),
                              HasSubstr("telegram counters 1..29: 5 lost, 0 late"),
                              HasSubstr("segment counters 0..28, counting up")));
    EXPECT_THAT(report, HasSubstr("16 lines x 240 beams x 3 echoes"));
    EXPECT_THAT(report, HasSubstr("in 2 of 24 modules: beams 80..160; echoes 0..2"));
    EXPECT_THAT(report, AllOf(HasSubstr("Parse errors: 4 ("), HasSubstr("wrong magic 2"),
                              HasSubstr("unsupported version 1"), HasSubstr("truncated 1")));
    EXPECT_THAT(report, testing::Not(HasSubstr("sender_id,")));  // no CSV header
}

}  // namespace testing_support
