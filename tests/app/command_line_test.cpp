// Tests of the command line: the range arguments' grammar, the settings record, the refusals (their
// texts in process, their status and stream through the built receiver), help and version.

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

cxxopts::ParseResult parse(const std::vector<std::string>& arguments) {
    std::vector<const char*> argv = {"compact_csv"};
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    return parseArguments(static_cast<int>(argv.size()), argv.data()).value();
}

// The settings as one text: the output, the flags, the phi tolerance and each filter given.
std::string settingsOf(const std::vector<std::string>& arguments) {
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
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "- tolerance 0.0174532924"},  // one degree
        {{"out.csv", "--short-headers", "--omit-angles", "--phi-tolerance", "2", "-s", "9:-7", "-b",
          "4", "-l", "1:2", "-e", "0:1"},
         "out.csv short omit tolerance 0.0349065848 segment -7 segment 9 beam 4 beam 4 line 1 "
         "line 2 echo 0 echo 1"},
        {{"--csv", "x.csv", "-p", "-35", "-t", "0.5:-35"},
         "x.csv tolerance 0.0174532924 theta -0.610865235 theta 0.00872664619 phi -0.610865235"},
        {{"./-"}, "./- tolerance 0.0174532924"}};
    for (const auto& [arguments, settings] : cases) EXPECT_EQ(settingsOf(arguments), settings);
    EXPECT_EQ(checkedAddress(parse({"-a", "192.168.0.1"})), 0xc0a80001u);  // host byte order
    EXPECT_EQ(checkedAddress(parse({})), std::nullopt);
}

// The message of the first refusal on the receiver's way through a command line: parsing, the
// settings, the queue, then the socket's port, buffer and address; empty when none refuses it.
std::string refusalOf(const std::vector<std::string>& arguments) {
    try {
        const cxxopts::ParseResult result = parse(arguments);
        processArguments(result);
        checkedQueueBytes(result);
        checkedPort(result);
        checkedBufferBytes(result);
        checkedAddress(result);
    } catch (const UsageError& error) {
        return error.what();
    }
    return "";
}

const std::string parsing = "Parsing command line arguments failed: ";
const std::string failed = "Failed to process arguments: ";
const std::string needsSingle =
    "Parameter --theta works only with a single line or single phi angle";
const std::string beamTheta = "Parameters --beam and --theta are mutually exclusive";
const std::string linePhi = "Parameters --line and --phi are mutually exclusive";
const std::string indexForm = "expected indices of 0 or more, e.g. 3 or 0:6";
const std::string addressForm =
    "expected a dotted IPv4 address such as 192.168.0.1; host names are not looked up";
const std::string queueForm = "expected a whole number of MiB from 1 to 16384";
const std::string bufferForm = "expected a whole number of KiB from 1 to 1048576";
const std::string toleranceForm = "expected a decimal number of degrees, 0 or more, e.g. 1.0";

// Each refusal's text, line by line. The filters' texts are looked at in the order segment, beam,
// theta, line, phi, echo, before their combination, whose checks run in this order too.
const std::pair<std::vector<std::string>, std::string> refusals[] = {
    {{"--bogus"}, parsing + "Option ‘bogus’ does not exist (see --help)"},
    {{"--lines", "3"},
     parsing + "Option ‘lines’ does not exist; did you mean --line? (see --help)"},
    {{"--omit"},
     parsing + "Option ‘omit’ does not exist; did you mean --omit-angles? (see --help)"},
    {{"--phi-tolerence=2"},
     parsing + "Option ‘phi-tolerence’ does not exist; did you mean --phi-tolerance? (see --help)"},
    {{"--ph"}, parsing + "Option ‘ph’ does not exist; did you mean --phi? (see --help)"},
    {{"--help", "-x", "out.csv"}, parsing + "Option ‘x’ does not exist (see --help)"},
    {{"--segment"}, parsing + "Option ‘segment’ is missing an argument"},
    {{"--beam", "0", "9", "out.csv"}, parsing + "unexpected argument 'out.csv' (see --help)"},
    {{"x.csv", "--", "y.csv", "z.csv"}, parsing + "unexpected argument 'y.csv' (see --help)"},
    {{"--line", "0", "-e", "1", "-l", "3"},
     parsing + "--line 0 and --line 3: give the option once"},
    {{"a.csv", "-p", "1", "--csv=b.csv", "-p1"},
     parsing + "--csv a.csv and --csv b.csv: give the option once"},
    {{"--port", "abc"},
     parsing +
         "Argument ‘abc’ failed to parse\n--port abc: expected a whole number from 1 to 65535"},
    {{"--help", "--queue-size", "0x10"},
     parsing + "Argument ‘0x10’ failed to parse\n--queue-size 0x10: " + queueForm},
    {{"-B", "1.5"}, parsing + "Argument ‘1.5’ failed to parse\n--buffer-size 1.5: " + bufferForm},
    {{"--phi-tolerance=1x"},
     parsing + "Argument ‘1x’ failed to parse\n--phi-tolerance 1x: " + toleranceForm},
    {{"--port", "0"}, "Port must be between 1 and 65535: --port 0"},
    {{"--port", "65536"}, "Port must be between 1 and 65535: --port 65536"},
    {{"-B", "1048577"}, "Buffer size must be between 1 and 1048576 KiB: --buffer-size 1048577"},
    {{"--queue-size", "0"}, "Queue size must be between 1 and 16384 MiB: --queue-size 0"},
    {{"--address", "localhost"}, "Invalid IPv4 address\n--address localhost: " + addressForm},
    {{"-r", "absent.pcap", "-a", "1.2.3.256"},
     "Invalid IPv4 address\n--address 1.2.3.256: " + addressForm},
    {{"--beam", "5-9"}, failed + "--beam 5-9: " + intForm},
    {{"--line=x", "-t", "3"}, failed + "--line x: " + intForm},
    {{"--echo="}, failed + "--echo : " + intForm},
    {{"-t", "1e400", "-l", "1"}, failed + "--theta 1e400: " + angleForm},
    {{"--beam", "-1:5"}, failed + "--beam -1:5: " + indexForm},
    {{"-l", "-2"}, failed + "--line -2: " + indexForm},
    {{"--echo", "-1"}, failed + "--echo -1: " + indexForm},
    {{"--phi-tolerance", "-1"}, failed + "--phi-tolerance -1: " + toleranceForm},
    {{"--phi-tolerance", "-inf"},
     parsing + "Argument ‘-inf’ failed to parse\n--phi-tolerance -inf: " + toleranceForm},
    {{"-e", "x", "-p", "y", "-s", "z"}, failed + "--segment z: " + intForm},
    {{"-t", "3"}, needsSingle},
    {{"-l", "4:5", "-t", "3"}, needsSingle},
    {{"-p", "3:4", "-t", "3"}, needsSingle},
    {{"-b", "1", "-t", "3", "-p", "3"}, beamTheta},
    {{"-l", "4", "-p", "3", "-t", "3"}, linePhi},
};

TEST(CommandLine, RefusalsNameWhatIsWrong) {
    for (const auto& [arguments, message] : refusals) {
        EXPECT_EQ(refusalOf(arguments), message) << testing::PrintToString(arguments);
    }
    for (const std::vector<std::string>& accepted :
         {std::vector<std::string>{"-l", "4", "-t", "3"},
          {"-l", "4:4", "-t", "3"},
          {"-p", "3", "-t", "3"},
          {"-b", "1", "-l", "2", "-e", "0", "-s", "5", "--omit-angles", "--omit-angles"}}) {
        EXPECT_EQ(refusalOf(accepted), "") << testing::PrintToString(accepted);
    }
}

// Through the built receiver, in a folder of its own: each refusal is its message on standard
// error, nothing on standard output, status 1, and no file created. A run that got past the checks
// would wait for datagrams until the deadline and show as a missing status.
TEST(CommandLine, RefusalsEndTheReceiverWithStatus1) {
    const testing_support::ScratchDir dir;
    const std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);
    for (const auto& [arguments, message] : refusals) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const auto run = runProgram(COMPACT_CSV_EXE, arguments, std::chrono::seconds(10));
        EXPECT_EQ(run.status, testing_support::exitedWith1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, message + "\n");
        EXPECT_TRUE(std::filesystem::is_empty(dir.path));
    }
    std::filesystem::current_path(home);
}

TEST(CommandLine, HelpPrintsOptionsAndEpilogue) {
    std::string epilogue = testing_support::goldenFile("help_epilogue.txt");
    const std::string placeholder = "@FORMAT_DOCUMENT@";
    ASSERT_NE(epilogue.find(placeholder), std::string::npos);
    // In the build tree (where this test runs too) the help names the source tree's description.
    const std::string document = formatDocumentPath();
    epilogue.replace(epilogue.find(placeholder), placeholder.size(), document);
    ASSERT_TRUE(std::filesystem::exists(document)) << document;
    EXPECT_TRUE(
        std::filesystem::equivalent(document, TEST_DATA_DIR "/../../docs/compact-format.md"));

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
    EXPECT_THAT(run.out, testing::Not(testing::HasSubstr("--csv")));
}

// A copy of the program outside the build tree names the installed description.
TEST(CommandLine, HelpOfAnInstalledCopyNamesTheInstalledDescription) {
    const testing_support::ScratchDir dir;
    std::filesystem::copy_file(COMPACT_CSV_EXE, dir / "compact_csv");
    const auto run = runProgram((dir / "compact_csv").string(), {"--help"});
    EXPECT_EQ(run.status, exitedWith0);
    EXPECT_THAT(run.out, testing::HasSubstr(" " COMPACT_FORMAT_DOC " for\n"));
}

// --version wins over --help and malformed filters whatever the order.
TEST(CommandLine, VersionEndsTheProgramFirst) {
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"--version"},
                                                      {"-h", "--version"},
                                                      {"-v", "-t", "3", "-b", "x"}}) {
        const auto run = runProgram(COMPACT_CSV_EXE, arguments);
        EXPECT_EQ(run.status, exitedWith0);
        EXPECT_EQ(run.out, "0.1.2\n") << testing::PrintToString(arguments);
        EXPECT_EQ(run.err, "");
    }
}

}  // namespace
