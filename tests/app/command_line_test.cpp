// Tests of the command line: range texts, the settings record and its checks (in process), and
// help (against the golden epilogue in tests/data), version and parse errors through the built
// receiver.

// GCC 12 reports a false -Wmaybe-uninitialized inside libstdc++'s <regex> when optimising with
// sanitizers; the option library's value parsers instantiate <regex> in this file too.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "app/command_line.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/files.h"
#include "support/process.h"

namespace {

using testing::ExitedWithCode;
using testing::HasSubstr;
using testing::StrEq;
using testing::ThrowsMessage;

cxxopts::ParseResult parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "compact_csv");
    return parseArguments(static_cast<int>(arguments.size()), arguments.data());
}

testing_support::ProgramRun runReceiver(const std::vector<std::string>& arguments) {
    return testing_support::runProgram(COMPACT_CSV_EXE, arguments);
}

using testing_support::exitedWith0;
using testing_support::exitedWith1;

TEST(IntRange, ConvertsOrRefusesEachText) {
    const std::pair<std::string, std::vector<int>> cases[] = {
        // nothing: refused with "stoi"
        {"3", {3, 3}},  {"0:6", {0, 6}}, {"6:0", {0, 6}}, {"-2:3", {-2, 3}},  {"3:3", {3, 3}},
        {" 7", {7, 7}}, {"3x", {3, 3}},  {"1.9", {1, 1}}, {"3:5:7", {3, 5}},  {"3:", {}},
        {":3", {}},     {"a:b", {}},     {"", {}},        {"2147483648", {}}, {"1:2147483648", {}},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE("text \"" + text + "\"");
        if (expected.empty())
            EXPECT_THAT([&] { intRange(text); }, ThrowsMessage<std::logic_error>(StrEq("stoi")));
        else
            EXPECT_EQ(intRange(text), expected);
    }
}

TEST(AngleRange, ConvertsDegreesToFloatRadiansOrRefuses) {
    // Expected values are the exact floats (nine significant digits round-trip a float); nothing:
    // refused with "stod".
    const std::pair<std::string, std::vector<float>> cases[] = {
        {"26.7", {0.466002911f}},
        {"-35:0.5", {-0.610865235f, 0.00872664619f}},
        {"0.5:-35", {-0.610865235f, 0.00872664619f}},
        {"5:5", {0.0872664601f, 0.0872664601f}},
        {"1.3:0.9", {0.0157079641f, 0.022689281f}},  // differ from single-precision products
        {"1e400", {}},
        {"x", {}},
        {"5:", {}},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE("text \"" + text + "\"");
        if (expected.empty())
            EXPECT_THAT([&] { angleRange(text); }, ThrowsMessage<std::logic_error>(StrEq("stod")));
        else
            EXPECT_EQ(angleRange(text), expected);
    }
}

TEST(ProcessArguments, NoArgumentsGiveTheDefaults) {
    const auto result = parse({});
    EXPECT_EQ(result["port"].as<int>(), 2115);
    const auto settings = processArguments(result);
    EXPECT_EQ(settings.csvFile, "-");
    EXPECT_EQ(settings.phiTolerance, 0.0174532924f);  // one degree
    EXPECT_FALSE(settings.shortHeaders);
    EXPECT_FALSE(settings.omitAngles);
    EXPECT_TRUE(settings.segment.empty());
    EXPECT_TRUE(settings.beam.empty());
    EXPECT_TRUE(settings.theta.empty());
    EXPECT_TRUE(settings.line.empty());
    EXPECT_TRUE(settings.phi.empty());
    EXPECT_TRUE(settings.echo.empty());
}

TEST(ProcessArguments, FillsEveryFieldFromItsOption) {
    const auto settings =
        processArguments(parse({"out.csv", "--short-headers", "--omit-angles", "--phi-tolerance",
                                "2", "-s", "9:7", "-b", "4", "-l", "1:2", "-e", "0:1"}));
    EXPECT_EQ(settings.csvFile, "out.csv");
    EXPECT_TRUE(settings.shortHeaders);
    EXPECT_TRUE(settings.omitAngles);
    EXPECT_EQ(settings.phiTolerance, 0.0349065848f);
    EXPECT_EQ(settings.segment, (std::vector<int>{7, 9}));
    EXPECT_EQ(settings.beam, (std::vector<int>{4, 4}));
    EXPECT_EQ(settings.line, (std::vector<int>{1, 2}));
    EXPECT_EQ(settings.echo, (std::vector<int>{0, 1}));

    const auto angles = processArguments(parse({"--csv", "x.csv", "-p", "-35", "-t", "0.5:-35"}));
    EXPECT_EQ(angles.csvFile, "x.csv");
    EXPECT_EQ(angles.phi, (std::vector<float>{-0.610865235f}));
    EXPECT_EQ(angles.theta, (std::vector<float>{-0.610865235f, 0.00872664619f}));
}

TEST(ProcessArguments, OutputPathIsTheFirstPositionalArgument) {
    EXPECT_EQ(processArguments(parse({"-"})).csvFile, "-");
    EXPECT_EQ(processArguments(parse({"a.csv", "b.csv"})).csvFile, "a.csv");
    EXPECT_EQ(processArguments(parse({"./-"})).csvFile, "./-");
}

// Combinations in the order the checks run; an empty message means the filters are accepted.
TEST(ProcessArgumentsDeathTest, RefusesContradictoryFiltersInOrder) {
    const std::string needsSingle =
        "Parameter --theta works only with a single line or single phi angle\n";
    const std::string beamTheta = "Parameters --beam and --theta are mutually exclusive\n";
    const std::string linePhi = "Parameters --line and --phi are mutually exclusive\n";
    struct Case {
        std::vector<const char*> arguments;
        std::string message;
    };
    const Case cases[] = {
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
        {{"-b", "1", "-l", "2", "-e", "0", "-s", "5"}, ""},
        {{"-s", "a", "-b", "1", "-t", "3"}, "Failed to process arguments: stoi\n"},
        {{"-p", "x", "-l", "4"}, "Failed to process arguments: stod\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const auto result = parse(c.arguments);
        if (c.message.empty())
            processArguments(result);
        else
            EXPECT_EXIT(processArguments(result), ExitedWithCode(1), StrEq(c.message));
    }
}

TEST(CommandLine, HelpPrintsOptionsAndEpilogue) {
    std::string epilogue = testing_support::goldenFile("help_epilogue.txt");
    const std::string placeholder = "@FORMAT_DOCUMENT@";
    ASSERT_NE(epilogue.find(placeholder), std::string::npos);
    epilogue.replace(epilogue.find(placeholder), placeholder.size(), formatDocumentPath());
    EXPECT_THAT(formatDocumentPath(), testing::EndsWith("/compact-format.md"));

    // Malformed filters do not matter: they are checked only after help has been answered.
    const auto run = runReceiver({"--help", "--segment", "x"});
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

// --version wins over --help and malformed filters whatever the order; a parse error wins over
// --help and goes to standard output. Filter errors are checked by the death test above.
TEST(CommandLine, VersionAndParseErrorsEndTheProgramFirst) {
    const std::string parseError = "Parsing command line arguments failed: [^\n]+\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--version"}, "0\\.1\\.2\n"},
        {{"-h", "--version"}, "0\\.1\\.2\n"},
        {{"-v", "-t", "3", "-b", "x"}, "0\\.1\\.2\n"},
        {{"--help", "--bogus"}, parseError},
        {{"--port", "abc"}, parseError},
        {{"--segment"}, parseError},
        {{"-v=1"}, parseError},
    };
    for (const auto& [arguments, out] : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const auto run = runReceiver(arguments);
        EXPECT_EQ(run.status, out == parseError ? exitedWith1 : exitedWith0);
        EXPECT_THAT(run.out, testing::MatchesRegex(out));
        EXPECT_EQ(run.err, "");
    }
}

}  // namespace
