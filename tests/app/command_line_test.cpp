// Tests of the command line: the settings record and its checks (in process), and help (against
// the golden epilogue in tests/data) and version through the built receiver.

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

cxxopts::ParseResult parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "compact_csv");
    return parseArguments(static_cast<int>(arguments.size()), arguments.data());
}

testing_support::ProgramRun runReceiver(const std::vector<std::string>& arguments) {
    return testing_support::runProgram(COMPACT_CSV_EXE, arguments);
}

using testing_support::exitedWith0;

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

// --version wins over --help and malformed filters whatever the order. Parse and filter errors
// are checked in range_arguments_test.
TEST(CommandLine, VersionEndsTheProgramFirst) {
    const std::vector<std::string> cases[] = {
        {"--version"}, {"-h", "--version"}, {"-v", "-t", "3", "-b", "x"}};
    for (const auto& arguments : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const auto run = runReceiver(arguments);
        EXPECT_EQ(run.status, exitedWith0);
        EXPECT_EQ(run.out, "0.1.2\n");
        EXPECT_EQ(run.err, "");
    }
}

}  // namespace
