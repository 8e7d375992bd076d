// Tests of the command line: range grammar, settings, refusals, help and version.

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

namespace fs = std::filesystem;
using testing::StrEq;
using testing::ThrowsMessage;
using testing_support::runProgram;
using namespace std::string_literals;

const std::string intForm =
    "expected one integer or two integers separated by a colon, e.g. 3 or 0:6";
const std::string angleForm =
    "expected one decimal or two decimals separated by a colon, e.g. 26.7 or -35:0.5";

// `refused` and the texts that are not one or two numbers around a colon throw `form`.
template <typename Parse>
void expectRefused(Parse parse, std::vector<std::string> refused, const std::string& form) {
    // clang-format off
    refused.insert(refused.end(), {"", ":", "3:", ":3", " 7", "7 ", "3 :4", "3: 4", "\t3", "3x",
        "a:b", "5-9", "3:5:7", "3::5", "+-1", "++1", "--1", "0x10", "3,4", "1..2", "3\n", "3\0"s,
        "1:2\0"s});
    // clang-format on
    for (const std::string& text : refused) {
        EXPECT_THAT([&] { parse(text); }, ThrowsMessage<RangeFormatError>(StrEq(form))) << text;
    }
}

// Integers lowest first; the exact floats of angles (nine significant digits round-trip a float;
// those of 1.3:0.9 differ from single-precision products).
TEST(RangeGrammar, AcceptsOneOrTwoNumbersOnly) {
    // clang-format off
    const std::pair<std::string, std::vector<int>> integers[] = {
        {"3", {3, 3}}, {"0:6", {0, 6}}, {"6:0", {0, 6}}, {"-2:3", {-2, 3}}, {"+4", {4, 4}},
        {"-5:+2", {-5, 2}}, {"007", {7, 7}}, {"2147483647", {INT_MAX, INT_MAX}},
        {"0:-2147483648", {INT_MIN, 0}}};
    const std::pair<std::string, std::vector<float>> angles[] = {
        {"26.7", {0.466002911f}}, {"-35:0.5", {-0.610865235f, 0.00872664619f}},
        {"0.5:-35", {-0.610865235f, 0.00872664619f}}, {"+5:5", {0.0872664601f, 0.0872664601f}},
        {"5.:.5e1", {0.0872664601f, 0.0872664601f}}, {"1.3:0.9", {0.0157079641f, 0.022689281f}},
        {"-0", {-0.0f}}};
    for (const auto& [text, expected] : integers) EXPECT_EQ(intRange(text), expected) << text;
    for (const auto& [text, expected] : angles) EXPECT_EQ(angleRange(text), expected) << text;
    expectRefused(intRange, {"1.9", "1e3", "2147483648", "-2147483649", "1:2147483648"}, intForm);
    expectRefused(angleRange, {".", "1e", "1e+", "inf", "-inf", "nan", "1:nan", "1e400", "1e-400",
                               "0x1p3", "1e39:1e41"}, angleForm);
    // clang-format on
}

// What the receiver makes of a command line before it opens anything: the first refusal (parsing,
// the settings, the queue, the socket's port, buffer and address), or else the settings as one
// text (output, the two flags, phi tolerance, each filter given) and the address in hex.
std::string outcomeOf(const std::vector<std::string>& arguments) try {
    std::vector<const char*> argv = {"compact_csv"};
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    const cxxopts::ParseResult result =
        parseArguments(static_cast<int>(argv.size()), argv.data()).value();
    const CompactCSV::Options s = processArguments(result);
    checkedQueueBytes(result);
    checkedPort(result);
    checkedBufferBytes(result);
    const std::optional<uint32_t> address = checkedAddress(result);
    std::ostringstream text;
    text.precision(9);
    text << s.csvFile << " " << s.shortHeaders << s.omitAngles << " " << s.phiTolerance;
    for (const auto& [name, values] : {std::pair{"t", s.theta}, {"p", s.phi}})
        for (float value : values) text << " " << name << value;
    for (const auto& [name, values] :
         {std::pair{"s", s.segment}, {"b", s.beam}, {"l", s.line}, {"e", s.echo}})
        for (int value : values) text << " " << name << value;
    if (address) text << " a" << std::hex << *address;
    return text.str();
} catch (const UsageError& error) {
    return error.what();
}

// Each option into its field, degrees into radians (one degree by default), the address in host
// byte order; filters that go together.
TEST(CommandLine, FillsEveryFieldFromItsOption) {
    EXPECT_EQ(outcomeOf({"out.csv", "--short-headers", "--omit-angles", "--phi-tolerance", "2",
                         "-s", "9:-7", "-b", "4", "-l", "1:2", "-e", "0:1", "-a", "192.168.0.1"}),
              "out.csv 11 0.0349065848 s-7 s9 b4 b4 l1 l2 e0 e1 ac0a80001");
    EXPECT_EQ(
        outcomeOf({"--csv", "./-", "-p", "-35", "-t", "0.5:-35", "--omit-angles", "--omit-angles"}),
        "./- 01 0.0174532924 t-0.610865235 t0.00872664619 p-0.610865235");
    EXPECT_EQ(outcomeOf({"-l", "4:4", "-t", "3"}), "- 00 0.0174532924 t0.052359879 l4 l4");
}

const std::string parsing = "Parsing command line arguments failed: ";
const std::string unknown = parsing + "Option ";
const std::string notANumber = parsing + "Argument ";
const std::string failed = "Failed to process arguments: ";
const std::string indexForm = "expected indices of 0 or more, e.g. 3 or 0:6";
const std::string toleranceForm = "expected a decimal number of degrees, 0 or more, e.g. 1.0";
const std::string invalidAddress = "Invalid IPv4 address\n--address ";
const std::string addressForm =
    ": expected a dotted IPv4 address such as 192.168.0.1; host names are not looked up";

// One row per refusal, its message line by line, roughly in the order the checks run.
// clang-format off
const std::pair<std::vector<std::string>, std::string> refusals[] = {
    {{"--bogus"}, unknown + "‘bogus’ does not exist (see --help)"},
    {{"--lines", "3"}, unknown + "‘lines’ does not exist; did you mean --line? (see --help)"},
    {{"--omit"}, unknown + "‘omit’ does not exist; did you mean --omit-angles? (see --help)"},
    {{"--help", "-x", "out.csv"}, unknown + "‘x’ does not exist (see --help)"},
    {{"--beam", "0", "9", "out.csv"}, parsing + "unexpected argument 'out.csv' (see --help)"},
    {{"--line", "0", "-l", "3"}, parsing + "--line 0 and --line 3: give the option once"},
    {{"--port", "abc"},
     notANumber + "‘abc’ failed to parse\n--port abc: expected a whole number from 1 to 65535"},
    {{"--help", "--queue-size", "0x10"}, notANumber + "‘0x10’ failed to parse\n"
     "--queue-size 0x10: expected a whole number of MiB from 1 to 16384"},
    {{"--phi-tolerance=-inf"},
     notANumber + "‘-inf’ failed to parse\n--phi-tolerance -inf: " + toleranceForm},
    {{"--port", "0"}, "Port must be between 1 and 65535: --port 0"},
    {{"-B", "1048577"}, "Buffer size must be between 1 and 1048576 KiB: --buffer-size 1048577"},
    {{"--queue-size", "0"}, "Queue size must be between 1 and 16384 MiB: --queue-size 0"},
    {{"--address", "localhost"}, invalidAddress + "localhost" + addressForm},
    {{"-r", "no.pcap", "-a", "1.2.3.256"}, invalidAddress + "1.2.3.256" + addressForm},
    {{"--phi-tolerance", "-1", "-b", "x"}, failed + "--phi-tolerance -1: " + toleranceForm},
    {{"--beam", "5-9"}, failed + "--beam 5-9: " + intForm},
    {{"--beam", "-1:5"}, failed + "--beam -1:5: " + indexForm},
    {{"-l", "-2"}, failed + "--line -2: " + indexForm},
    {{"--echo", "-1"}, failed + "--echo -1: " + indexForm},
    {{"-t", "3"}, "Parameter --theta works only with a single line or single phi angle"},
    {{"-b", "1", "-t", "3", "-p", "3"}, "Parameters --beam and --theta are mutually exclusive"},
    {{"-l", "4", "-p", "3", "-t", "3"}, "Parameters --line and --phi are mutually exclusive"},
    {{"--describe", "out.csv"}, "--describe writes no CSV file; leave out the output file"},
    {{"--describe", "-w", "raw.pcapng"}, "--describe writes no files; leave out -w"},
};
// clang-format on

// In process the text; through the receiver (in a folder of its own) the same on standard error,
// status 1 and no file. A run that passed the checks would wait for datagrams until the deadline.
TEST(CommandLine, RefusalsNameWhatIsWrongAndEndWithStatus1) {
    const testing_support::ScratchDir dir;
    const fs::path home = fs::current_path();
    fs::current_path(dir.path);
    for (const auto& [arguments, message] : refusals) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        EXPECT_EQ(outcomeOf(arguments), message);
        const auto run = runProgram(COMPACT_CSV_EXE, arguments, std::chrono::seconds(10));
        EXPECT_EQ(run.status, testing_support::exitedWith1);
        EXPECT_EQ(run.out + "|" + run.err, "|" + message + "\n");
        EXPECT_TRUE(fs::is_empty(dir.path));
    }
    fs::current_path(home);
}

// Help names a description that exists: the source tree's here, the installed one elsewhere.
// Version wins over help, and both over the filters.
TEST(CommandLine, HelpAndVersionEndWithStatus0) {
    std::string epilogue = testing_support::goldenFile("help_epilogue.txt");
    const std::string document = formatDocumentPath();
    epilogue.replace(epilogue.find("@FORMAT_DOCUMENT@"), 17, document);
    EXPECT_TRUE(fs::equivalent(document, TEST_DATA_DIR "/../../docs/compact-format.md"));
    const auto help = runProgram(COMPACT_CSV_EXE, {"--help", "--segment", "x"});
    EXPECT_EQ(help.status, testing_support::exitedWith0);
    EXPECT_THAT(help.out + help.err, testing::EndsWith("\n" + epilogue));

    const testing_support::ScratchDir dir;
    fs::copy_file(COMPACT_CSV_EXE, dir / "compact_csv");
    const auto copy = runProgram((dir / "compact_csv").string(), {"--help"});
    EXPECT_THAT(copy.out, testing::HasSubstr(" " COMPACT_FORMAT_DOC " for\n"));

    const auto version = runProgram(COMPACT_CSV_EXE, {"-h", "-t", "3", "--version", "-b", "x"});
    EXPECT_EQ(version.status, testing_support::exitedWith0);
    EXPECT_EQ(version.out + "|" + version.err, "0.1.2\n|");
}

}  // namespace
