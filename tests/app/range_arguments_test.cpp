// Tests of the range arguments' grammar, of the refusal that names the option, and of where the
// command line's errors go.

// GCC 12 reports a false -Wmaybe-uninitialized inside libstdc++'s <regex> when optimising with
// sanitizers; the option library's value parsers instantiate <regex> in this file too.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "support/process.h"

namespace {

using testing::StrEq;
using testing::ThrowsMessage;

const std::string intForm =
    "expected one integer or two integers separated by a colon, e.g. 3 or 0:6";
const std::string angleForm =
    "expected one decimal or two decimals separated by a colon, e.g. 26.7 or -35:0.5";

// Texts that are not one number or two numbers around one colon, for both kinds of range.
const std::vector<std::string> malformedEither = {
    "",
    ":",
    "3:",
    ":3",
    " 7",
    "7 ",
    "3 :4",
    "3: 4",
    "\t3",
    "3x",
    "a:b",
    "5-9",
    "3:5:7",
    "3::5",
    "+-1",
    "++1",
    "--1",
    "0x10",
    "3,4",
    "1..2",
    "3\n",
    std::string("3\0", 2),
    std::string("1:2\0", 4),
};

TEST(IntRangeGrammar, AcceptsOneOrTwoWholeIntegers) {
    struct Case {
        std::string text;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {"3", {3, 3}},
        {"0:6", {0, 6}},
        {"6:0", {0, 6}},
        {"-2:3", {-2, 3}},
        {"+4", {4, 4}},
        {"-5:+2", {-5, 2}},
        {"007", {7, 7}},
        {"2147483647", {INT_MAX, INT_MAX}},
        {"0:-2147483648", {INT_MIN, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\"");
        EXPECT_EQ(intRange(c.text), c.expected);
    }
}

TEST(IntRangeGrammar, RefusesEverythingElseWithTheForm) {
    std::vector<std::string> texts = malformedEither;
    texts.insert(texts.end(), {"1.9", "1e3", "2147483648", "-2147483649", "1:2147483648",
                               "99999999999999999999"});
    for (const std::string& text : texts) {
        SCOPED_TRACE("text \"" + text + "\"");
        EXPECT_THAT([&] { intRange(text); }, ThrowsMessage<RangeFormatError>(StrEq(intForm)));
    }
}

TEST(AngleRangeGrammar, AcceptsOneOrTwoFiniteDecimals) {
    struct Case {
        std::string text;
        std::vector<float> expected;
    };
    // The exact floats (nine significant digits round-trip a float).
    const Case cases[] = {
        {"26.7", {0.466002911f}},
        {"-35:0.5", {-0.610865235f, 0.00872664619f}},
        {"0.5:-35", {-0.610865235f, 0.00872664619f}},
        {"+5:5", {0.0872664601f, 0.0872664601f}},
        {"5.:.5e1", {0.0872664601f, 0.0872664601f}},
        {"1.3:0.9", {0.0157079641f, 0.022689281f}},  // differ from single-precision products
        {"-0", {-0.0f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\"");
        EXPECT_EQ(angleRange(c.text), c.expected);
    }
}

TEST(AngleRangeGrammar, RefusesEverythingElseWithTheForm) {
    std::vector<std::string> texts = malformedEither;
    texts.insert(texts.end(), {".", "1e", "1e+", "inf", "-inf", "infinity", "nan", "1:nan", "1e400",
                               "-1e400", "1e-400", "0x1p3", "1e39:1e41"});
    for (const std::string& text : texts) {
        SCOPED_TRACE("text \"" + text + "\"");
        EXPECT_THAT([&] { angleRange(text); }, ThrowsMessage<RangeFormatError>(StrEq(angleForm)));
    }
}

cxxopts::ParseResult parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "compact_csv");
    return parseArguments(static_cast<int>(arguments.size()), arguments.data());
}

// The option by its long name, the text as given; the first malformed filter in the order
// segment, beam, theta, line, phi, echo; before the filters' combination is looked at.
TEST(ProcessArgumentsDeathTest, NamesTheOptionAndTheValueItRefuses) {
    struct Case {
        std::vector<const char*> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{"--beam", "5-9"}, "--beam 5-9: " + intForm},
        {{"-s", "1:2:3"}, "--segment 1:2:3: " + intForm},
        {{"--line=x", "-t", "3"}, "--line x: " + intForm},
        {{"--echo="}, "--echo : " + intForm},
        {{"-t", "1e400", "-l", "1"}, "--theta 1e400: " + angleForm},
        {{"--phi", "3 4"}, "--phi 3 4: " + angleForm},
        {{"-e", "x", "-p", "y", "-s", "z"}, "--segment z: " + intForm},
        {{"-t", "x"}, "--theta x: " + angleForm},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const auto result = parse(c.arguments);
        EXPECT_EXIT(processArguments(result), testing::ExitedWithCode(1),
                    StrEq("Failed to process arguments: " + c.message + "\n"));
    }
}

// Through the built receiver: each error of the command line is one line on standard error,
// nothing on standard output, exit status 1. A run that got past the checks would wait for
// datagrams until the deadline and show as a missing status.
TEST(CommandLineErrors, GoToStandardErrorOnly) {
    const std::string parsing = "Parsing command line arguments failed: ";
    struct Case {
        std::vector<std::string> arguments;
        std::string startsWith;
        std::string endsWith;
    };
    const Case cases[] = {
        {{"--bogus"}, parsing + "Option ", " does not exist (see --help)\n"},
        {{"-x", "out.csv"}, parsing + "Option ", " does not exist (see --help)\n"},
        {{"--help", "--bogus"}, parsing + "Option ", " does not exist (see --help)\n"},
        {{"--port", "abc"}, parsing, " failed to parse\n"},
        {{"--segment"}, parsing, " is missing an argument\n"},
        {{"--echo", "1:x"}, "Failed to process arguments: --echo 1:x: " + intForm + "\n", ""},
        {{"-t", "3"}, "Parameter --theta works only with a single line or single phi angle\n", ""},
        {{"--port", "0"}, "Port must be between 1 and 65535\n", ""},
        {{"--queue-size", "0"}, "Queue size must be between 1 and 16384 MiB\n", ""},
        {{"--buffer-size", "0"}, "Buffer size must be between 1 and 1048576 KiB\n", ""},
        {{"--address", "300.1.2.3"}, "Invalid IPv4 address\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const auto run =
            testing_support::runProgram(COMPACT_CSV_EXE, c.arguments, std::chrono::seconds(10));
        EXPECT_EQ(run.status, (testing_support::ExitStatus{1, 0}));
        EXPECT_EQ(run.out, "");
        EXPECT_THAT(run.err, testing::StartsWith(c.startsWith));
        EXPECT_THAT(run.err, testing::EndsWith(c.endsWith));
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line";
    }
}

}  // namespace
