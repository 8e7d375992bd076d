// Runs of the built programs for the end-to-end tests.
#include "support/runs.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <optional>
#include <regex>
#include <sstream>

#include "generators/compact_frame_builder.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace testing_support {

void expectReady(ChildProcess& receiver) {
    // The stop handlers come first, then the socket and the output; the receiving thread starts
    // once everything is set up.
    EXPECT_TRUE(receiver.waitForSignalHandler(SIGHUP, deadline)) << receiver.err();
    EXPECT_TRUE(receiver.waitUntilReceiving(deadline)) << receiver.err();
}

std::unique_ptr<ChildProcess> startReceiver(unsigned short port, std::vector<std::string> arguments,
                                            StandardOutput output) {
    arguments.insert(arguments.begin(), {"--port", std::to_string(port)});
    auto receiver = std::make_unique<ChildProcess>(COMPACT_CSV_EXE, arguments, -1, output);
    expectReady(*receiver);
    return receiver;
}

std::string stopRun(ChildProcess& run, int signal, ExitStatus status) {
    EXPECT_TRUE(run.sendSignal(signal));
    EXPECT_EQ(run.wait(deadline), status) << run.err();
    return messages(run);
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

}  // namespace testing_support
