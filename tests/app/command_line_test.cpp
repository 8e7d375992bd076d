// Tests of the command line: range texts, the settings record and its checks (in process), and
// help, version and parse errors through the built receiver.

// GCC 12 reports a false -Wmaybe-uninitialized inside libstdc++'s <regex> when optimising with
// sanitizers; the option library's value parsers instantiate <regex> in this file too.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "app/command_line.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

constexpr testing_support::ExitStatus exitedWith0{0, 0};
constexpr testing_support::ExitStatus exitedWith1{1, 0};

TEST(IntRange, ConvertsOrRefusesEachText) {
    struct Case {
        std::string text;
        std::vector<int> expected;  // empty: refused with "stoi"
    };
    const Case cases[] = {
        {"3", {3, 3}},  {"0:6", {0, 6}}, {"6:0", {0, 6}}, {"-2:3", {-2, 3}},  {"3:3", {3, 3}},
        {" 7", {7, 7}}, {"3x", {3, 3}},  {"1.9", {1, 1}}, {"3:5:7", {3, 5}},  {"3:", {}},
        {":3", {}},     {"a:b", {}},     {"", {}},        {"2147483648", {}}, {"1:2147483648", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\"");
        if (c.expected.empty())
            EXPECT_THAT([&] { intRange(c.text); }, ThrowsMessage<std::logic_error>(StrEq("stoi")));
        else
            EXPECT_EQ(intRange(c.text), c.expected);
    }
}

TEST(AngleRange, ConvertsDegreesToFloatRadiansOrRefuses) {
    struct Case {
        std::string text;
        std::vector<float> expected;  // empty: refused with "stod"
    };
    // Expected values are the exact floats (nine significant digits round-trip a float).
    const Case cases[] = {
        {"26.7", {0.466002911f}},
        {"-35:0.5", {-0.610865235f, 0.00872664619f}},
        {"0.5:-35", {-0.610865235f, 0.00872664619f}},
        {"5:5", {0.0872664601f, 0.0872664601f}},
        {"1.3:0.9", {0.0157079641f, 0.022689281f}},  // differ from single-precision products
        {"1e400", {}},
        {"x", {}},
        {"5:", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\"");
        if (c.expected.empty())
            EXPECT_THAT([&] { angleRange(c.text); },
                        ThrowsMessage<std::logic_error>(StrEq("stod")));
        else
            EXPECT_EQ(angleRange(c.text), c.expected);
    }
}

TEST(ProcessArguments, NoArgumentsGiveTheDefaults) {
    const auto result = parse({});
    EXPECT_EQ(result["csv"].as<std::string>(), "-");
    EXPECT_EQ(result["port"].as<int>(), 2115);
    EXPECT_EQ(result["phi-tolerance"].as<float>(), 1.0f);
    for (const char* name : {"short-headers", "omit-angles", "version", "help"})
        EXPECT_FALSE(result[name].as<bool>()) << name;
    for (const char* name : {"address", "segment", "beam", "theta", "line", "phi", "echo"})
        EXPECT_EQ(result.count(name), 0u) << name;

    const auto settings = processArguments(result);
    EXPECT_EQ(settings.csvFile, "-");
    EXPECT_EQ(settings.phiTolerance, 0.0174532924f);
    EXPECT_FALSE(settings.shortHeaders || settings.omitAngles);
    EXPECT_TRUE(settings.segment.empty() && settings.beam.empty() && settings.theta.empty() &&
                settings.line.empty() && settings.phi.empty() && settings.echo.empty());
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
    const std::string epilogue =
        std::string(
            "\n"
            "[1] One integer or two integers separated by a colon, e.g. 3 or 0:6\n"
            "[2] One decimal or two decimals separated by a colon, e.g. 26.7 or -35:0.5\n"
            "\n"
            "Please read the data format description at ") +
        formatDocumentPath() +
        " for\n"
        "further explanations about the Compact format.\n"
        "\n"
        "This program produces one text line of comma separated values for each filtered\n"
        "line of a segment. Static columns: sender_id, frame_number, segment_counter,\n"
        "line, timestamp_start, timestamp_stop, phi, theta_start, theta_stop.\n"
        "\n"
        "The beams and echos are flattened out, first the properties and then for\n"
        "each echo the distance and RSSI. Example for beam 42 with 3 echos:\n"
        "beam[42]_prop,\n"
        "beam[42]_echo[0]_dist, beam[42]_echo[0]_rssi,\n"
        "beam[42]_echo[1]_dist, beam[42]_echo[1]_rssi,\n"
        "beam[42]_echo[2]_dist, beam[42]_echo[2]_rssi,\n"
        "beam[43]_prop, ...\n"
        "\n"
        "The header with column names is written once at the start of a file.\n"
        "Whenever the beams and echos in a line change, a new header is written,\n"
        "but the file continues. This can occur if the scan profile is changed.\n"
        "\n"
        "All values are in the units present in the Compact format.\n"
        "Indices start at zero. This program is intended to run with narrow filters,\n"
        "although it would work without filters but produce very large files.\n"
        "\n"
        "Without the positional CSV parameter (or using -), data is written to stdout.\n"
        "If given a file to store the data, a status line is written to stdout and\n"
        "updated every few seconds.\n"
        "\n";
    EXPECT_THAT(formatDocumentPath(), testing::EndsWith("/compact-format.md"));

    // Malformed filters do not matter: they are checked only after help has been answered.
    const auto run = runReceiver({"--help", "--segment", "x"});
    ASSERT_EQ(run.status, exitedWith0);
    EXPECT_EQ(run.err, "");
    EXPECT_THAT(run.out,
                testing::StartsWith("Receive Compact frames via UDP, filter and store as CSV.\n"
                                    "Usage:\n  " COMPACT_CSV_EXE " [OPTION...] [CSV | -]\n"));
    EXPECT_THAT(run.out, testing::EndsWith(epilogue));

    const auto filterGroup = run.out.find(" Filter options:\n");
    ASSERT_NE(filterGroup, std::string::npos);
    for (const char* option : {"--address", "--port", "--short-headers", "--omit-angles",
                               "--phi-tolerance", "--pcap", "--version", "--help"})
        EXPECT_LT(run.out.find(option), filterGroup) << option;
    EXPECT_LT(run.out.find("--phi-tolerance"), run.out.find("-r, --pcap"));
    EXPECT_LT(run.out.find("-r, --pcap"), run.out.find("--version"));
    for (const char* option : {"--segment", "--beam", "--theta", "--line", "--phi", "--echo"})
        EXPECT_THAT(run.out.substr(filterGroup), HasSubstr(option));
    EXPECT_THAT(run.out, testing::Not(HasSubstr("--csv")));
}

TEST(CommandLine, VersionComesBeforeHelpAndFilters) {
    const std::vector<std::vector<std::string>> cases = {
        {"-v"}, {"--version"}, {"-v", "-h"}, {"-h", "--version"}, {"-v", "-t", "3", "-b", "x"},
    };
    for (const auto& arguments : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const auto run = runReceiver(arguments);
        EXPECT_EQ(run.status, exitedWith0);
        EXPECT_EQ(run.out, "0.1.2\n");
        EXPECT_EQ(run.err, "");
    }
}

TEST(CommandLine, ParseErrorsGoToStandardOutput) {
    const std::vector<std::vector<std::string>> cases = {
        {"--help", "--bogus"},       {"-x"},        {"--port", "abc"},
        {"--phi-tolerance", "wide"}, {"--segment"}, {"-v=1"},
    };
    for (const auto& arguments : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const auto run = runReceiver(arguments);
        EXPECT_EQ(run.status, exitedWith1);
        EXPECT_THAT(run.out, testing::MatchesRegex("Parsing command line arguments failed: "
                                                   "[^\n]+\n"));
        EXPECT_EQ(run.err, "");
    }
}

TEST(CommandLine, FilterErrorsGoToStandardError) {
    const auto run = runReceiver({"--echo", "1:x"});
    EXPECT_EQ(run.status, exitedWith1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Failed to process arguments: stoi\n");
}

}  // namespace
