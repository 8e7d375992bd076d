// Tests of the command line: the range arguments' grammar, the settings record and its checks,
// the refusals that name the option (in process); help (against the golden epilogue in
// tests/data), version and where the errors go, through the built receiver.

// GCC 12 reports a false -Wmaybe-uninitialized inside libstdc++'s <regex> when optimising with
// sanitizers; the option library's value parsers instantiate <regex> in this file too.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "app/command_line.h"

#include <gmock/gmock.h>

#include <climits>
#include <filesystem>
#include <sstream>

#include "support/files.h"
#include "support/process.h"

namespace {

using testing::HasSubstr;
using testing::StrEq;
using testing::ThrowsMessage;
using testing_support::exitedWith0;
using testing_support::runProgram;
using namespace std::string_literals;

const std::string intForm =
    "expected one integer or two integers separated by a colon, e.g. 3 or 0:6";
const std::string angleForm =
    "expected one decimal or two decimals separated by a colon, e.g. 26.7 or -35:0.5";

// Texts that are not one number or two numbers around one colon, for both kinds of range.
const std::vector<std::string> malformedEither = {
    "",      ":",    "3:",  ":3",  " 7",  "7 ",   "3 :4", "3: 4", "\t3", "3x",   "a:b",   "5-9",
    "3:5:7", "3::5", "+-1", "++1", "--1", "0x10", "3,4",  "1..2", "3\n", "3\0"s, "1:2\0"s};

TEST(RangeGrammar, IntegersAcceptsOneOrTwoWholeIntegers) {
    // clang-format off
    const std::pair<std::string, std::vector<int>> cases[] = {
        {"3", {3, 3}}, {"0:6", {0, 6}}, {"6:0", {0, 6}}, {"-2:3", {-2, 3}}, {"+4", {4, 4}},
        {"-5:+2", {-5, 2}}, {"007", {7, 7}}, {"2147483647", {INT_MAX, INT_MAX}},
        {"0:-2147483648", {INT_MIN, 0}}};
    // clang-format on
    for (const auto& [text, expected] : cases) EXPECT_EQ(intRange(text), expected) << text;
    std::vector<std::string> refused = malformedEither;
    refused.insert(refused.end(), {"1.9", "1e3", "2147483648", "-2147483649", "1:2147483648",
                                   "99999999999999999999"});
    for (const std::string& text : refused) {
        EXPECT_THAT([&] { intRange(text); }, ThrowsMessage<RangeFormatError>(StrEq(intForm)))
            << "text \"" << text << "\"";
    }
}

TEST(RangeGrammar, AnglesAcceptsOneOrTwoFiniteDecimals) {
    // The exact floats (nine significant digits round-trip a float).
    const std::pair<std::string, std::vector<float>> cases[] = {
        {"26.7", {0.466002911f}},
        {"-35:0.5", {-0.610865235f, 0.00872664619f}},
        {"0.5:-35", {-0.610865235f, 0.00872664619f}},
        {"+5:5", {0.0872664601f, 0.0872664601f}},
        {"5.:.5e1", {0.0872664601f, 0.0872664601f}},
        {"1.3:0.9", {0.0157079641f, 0.022689281f}},  // differ from single-precision products
        {"-0", {-0.0f}}};
    for (const auto& [text, expected] : cases) EXPECT_EQ(angleRange(text), expected) << text;
    std::vector<std::string> refused = malformedEither;
    refused.insert(refused.end(), {".", "1e", "1e+", "inf", "-inf", "infinity", "nan", "1:nan",
                                   "1e400", "-1e400", "1e-400", "0x1p3", "1e39:1e41"});
    for (const std::string& text : refused) {
        EXPECT_THAT([&] { angleRange(text); }, ThrowsMessage<RangeFormatError>(StrEq(angleForm)))
            << "text \"" << text << "\"";
    }
}

cxxopts::ParseResult parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "compact_csv");
    return parseArguments(static_cast<int>(arguments.size()), arguments.data()).value();
}

// The settings as one text: the output, the flags, the phi tolerance and each filter given.
std::string settingsOf(const std::vector<const char*>& arguments) {
    const CompactCSV::Options s = processArguments(parse(arguments));
    std::ostringstream text;
    text.precision(9);
    text << s.csvFile << (s.shortHeaders ? " short" : "") << (s.omitAngles ? " omit" : "")
         << " tolerance " << s.phiTolerance;
    for (const auto& [name, values] :
         {std::pair{"segment", s.segment}, {"beam", s.beam}, {"line", s.line}, {"echo", s.echo}})
        for (int v : values) text << " " << name << " " << v;
    for (const auto& [name, values] : {std::pair{"theta", s.theta}, {"phi", s.phi}})
        for (float v : values) text << " " << name << " " << v;
    return text.str();
}

TEST(ProcessArguments, FillsEveryFieldFromItsOption) {
    EXPECT_EQ(parse({})["port"].as<int>(), 2115);
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{}, "- tolerance 0.0174532924"},  // one degree
        {{"out.csv", "--short-headers", "--omit-angles", "--phi-tolerance", "2", "-s", "9:7", "-b",
          "4", "-l", "1:2", "-e", "0:1"},
         "out.csv short omit tolerance 0.0349065848 segment 7 segment 9 beam 4 beam 4 line 1 line "
         "2 echo 0 echo 1"},
        {{"--csv", "x.csv", "-p", "-35", "-t", "0.5:-35"},
         "x.csv tolerance 0.0174532924 theta -0.610865235 theta 0.00872664619 phi -0.610865235"},
        // The output is the first positional argument.
        {{"-"}, "- tolerance 0.0174532924"},
        {{"a.csv", "b.csv"}, "a.csv tolerance 0.0174532924"},
        {{"./-"}, "./- tolerance 0.0174532924"}};
    for (const auto& [arguments, settings] : cases) EXPECT_EQ(settingsOf(arguments), settings);
}

// The first malformed filter in the order segment, beam, theta, line, phi, echo, named by its long
// option and the text as given, before the filters' combination is looked at; then the
// combinations in the order the checks run. An empty message: the filters are accepted.
TEST(ProcessArguments, RefusesMalformedAndContradictoryFiltersInOrder) {
    const std::string failed = "Failed to process arguments: ";
    const std::string needsSingle =
        "Parameter --theta works only with a single line or single phi angle";
    const std::string beamTheta = "Parameters --beam and --theta are mutually exclusive";
    const std::string linePhi = "Parameters --line and --phi are mutually exclusive";
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{"--beam", "5-9"}, failed + "--beam 5-9: " + intForm},
        {{"-s", "1:2:3"}, failed + "--segment 1:2:3: " + intForm},
        {{"--line=x", "-t", "3"}, failed + "--line x: " + intForm},
        {{"--echo="}, failed + "--echo : " + intForm},
        {{"-t", "1e400", "-l", "1"}, failed + "--theta 1e400: " + angleForm},
        {{"--phi", "3 4"}, failed + "--phi 3 4: " + angleForm},
        {{"-e", "x", "-p", "y", "-s", "z"}, failed + "--segment z: " + intForm},
        {{"-t", "x"}, failed + "--theta x: " + angleForm},
        {{"-t", "3"}, needsSingle},
        {{"-l", "4", "-t", "3"}, ""},
        {{"-l", "4:4", "-t", "3"}, ""},
        {{"-l", "4:5", "-t", "3"}, needsSingle},
        {{"-p", "3", "-t", "3"}, ""},
        {{"-p", "3:4", "-t", "3"}, needsSingle},
        {{"-p", "5:5", "-t", "3"}, needsSingle},
        {{"-b", "1", "-t", "3"}, needsSingle},
        {{"-b", "1", "-t", "3", "-l", "4"}, beamTheta},
        {{"-b", "1", "-t", "3", "-p", "3", "-l", "4"}, beamTheta},
        {{"-l", "4", "-p", "3"}, linePhi},
        {{"-l", "4:5", "-p", "3"}, linePhi},
        {{"-l", "4", "-p", "3", "-t", "3"}, linePhi},
        {{"-b", "1", "-l", "2", "-e", "0", "-s", "5"}, ""}};
    for (const auto& [arguments, message] : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const auto result = parse(arguments);
        if (message.empty())
            processArguments(result);
        else
            EXPECT_THAT([&] { processArguments(result); },
                        ThrowsMessage<UsageError>(StrEq(message)));
    }
}

TEST(CommandLine, HelpPrintsOptionsAndEpilogue) {
    std::string epilogue = testing_support::goldenFile("help_epilogue.txt");
    const std::string placeholder = "@FORMAT_DOCUMENT@";
    ASSERT_NE(epilogue.find(placeholder), std::string::npos);
    epilogue.replace(epilogue.find(placeholder), placeholder.size(), formatDocumentPath());
    EXPECT_THAT(formatDocumentPath(), testing::EndsWith("/compact-format.md"));

    // Malformed filters do not matter: they are checked only after help has been answered.
    const auto run = runProgram(COMPACT_CSV_EXE, {"--help", "--segment", "x"});
    ASSERT_EQ(run.status, exitedWith0);
    EXPECT_EQ(run.err, "");
    EXPECT_THAT(run.out,
                testing::StartsWith("Receive Compact frames via UDP, filter and store as CSV.\n"
                                    "Usage:\n  " COMPACT_CSV_EXE " [OPTION...] [CSV | -]\n"));
    EXPECT_THAT(run.out, testing::EndsWith("\n" + epilogue));

    // The general options in this order, then the filters in theirs.
    EXPECT_THAT(run.out,
                testing::ContainsRegex("--address.*--port.*--short-headers.*--omit-angles.*"
                                       "--phi-tolerance.*-r, --pcap.*--version.*--help.* "
                                       "Filter options:.*--segment.*--beam.*--theta.*"
                                       "--line.*--phi.*--echo"));
    EXPECT_THAT(run.out, testing::Not(HasSubstr("--csv")));
}

// --version wins over --help and malformed filters whatever the order.
TEST(CommandLine, VersionEndsTheProgramFirst) {
    const std::vector<std::string> cases[] = {
        {"--version"}, {"-h", "--version"}, {"-v", "-t", "3", "-b", "x"}};
    for (const auto& arguments : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const auto run = runProgram(COMPACT_CSV_EXE, arguments);
        EXPECT_EQ(run.status, exitedWith0);
        EXPECT_EQ(run.out, "0.1.2\n");
        EXPECT_EQ(run.err, "");
    }
}

// Through the built receiver: each error of the command line is one line on standard error,
// nothing on standard output, exit status 1, and the output is not created. A run that got past
// the checks would wait for datagrams until the deadline and show as a missing status.
TEST(CommandLine, ErrorsGoToStandardErrorOnly) {
    const testing_support::ScratchDir dir;
    const std::string parsing = "Parsing command line arguments failed: ";
    const std::string noOption = " does not exist (see --help)\n";
    const std::tuple<std::vector<std::string>, std::string, std::string> cases[] = {
        {{"--bogus"}, parsing + "Option ", noOption},
        {{"-x", "out.csv"}, parsing + "Option ", noOption},
        {{"--help", "--bogus"}, parsing + "Option ", noOption},
        {{"--port", "abc"}, parsing, " failed to parse\n"},
        {{"--segment"}, parsing, " is missing an argument\n"},
        {{"--echo", "1:x"}, "Failed to process arguments: --echo 1:x: " + intForm + "\n", ""},
        {{"-t", "3"}, "Parameter --theta works only with a single line or single phi angle\n", ""},
        {{"--port", "0"}, "Port must be between 1 and 65535\n", ""},
        {{"--port", "70000"}, "Port must be between 1 and 65535\n", ""},
        {{"--queue-size", "0"}, "Queue size must be between 1 and 16384 MiB\n", ""},
        {{"--buffer-size", "0"}, "Buffer size must be between 1 and 1048576 KiB\n", ""},
        {{"--address", "300.1.2.3"}, "Invalid IPv4 address\n", ""},
        {{"--address", "localhost"}, "Invalid IPv4 address\n", ""}};
    for (auto [arguments, startsWith, endsWith] : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        arguments.insert(arguments.begin(), (dir / "never.csv").string());
        const auto run = runProgram(COMPACT_CSV_EXE, arguments, std::chrono::seconds(10));
        EXPECT_EQ(run.status, testing_support::exitedWith1);
        EXPECT_EQ(run.out, "");
        EXPECT_THAT(run.err, testing::StartsWith(startsWith));
        EXPECT_THAT(run.err, testing::EndsWith(endsWith));
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line";
        EXPECT_FALSE(std::filesystem::exists(dir / "never.csv"));
    }
}

}  // namespace
