// Runs every scenario file of tests/e2e/scenarios against the installer
// binary. As root each scenario runs twice from a fresh root: once with the
// installer as root (it enters the root with chroot) and once as the user
// nobody (it works inside the root through its file layer); both runs must
// meet the same expectations.
//
// SCENARIO_UPDATE=1 rewrites the stdout, stderr, status and expect-tree
// lines of failing scenarios to what the installer did; review the change
// before keeping it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "e2e/runner.h"
#include "e2e/scenario.h"

namespace {

using scenario::RunAs;

const std::string SCENARIO_DIR = std::string(SOURCE_DIR) + "/tests/e2e/scenarios";

class Scenarios : public ::testing::TestWithParam<std::string> {};

TEST_P(Scenarios, Run) {
    scenario::Scenario s;
    std::string error;
    ASSERT_TRUE(scenario::parseScenario(GetParam(), s, error)) << error;
    bool root = ::geteuid() == 0;
    if (s.requiresRoot && !root) GTEST_SKIP() << s.name << " needs root (it mounts a tmpfs)";

    const char* update = std::getenv("SCENARIO_UPDATE");
    std::vector<scenario::Patch> patches;
    std::vector<RunAs> passes = {RunAs::Self};
    if (root) passes.push_back(RunAs::Nobody);
    for (RunAs as : passes) {
        const char* who = as == RunAs::Nobody ? "as nobody" : (root ? "as root" : "unprivileged");
        bool first = as == passes.front();
        auto failures = scenario::runScenario(s, as, update && first ? &patches : nullptr);
        for (const auto& f : failures)
            ADD_FAILURE_AT(s.path.c_str(), f.line) << "[" << who << "] " << f.message;
    }
    if (update && !patches.empty()) {
        EXPECT_TRUE(scenario::applyPatches(s.path, patches));
        std::printf("updated %s\n", s.path.c_str());
    }
}

std::string caseName(const ::testing::TestParamInfo<std::string>& info) {
    std::string name = std::filesystem::path(info.param).stem().string();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Files, Scenarios,
                         ::testing::ValuesIn(scenario::listScenarioFiles(SCENARIO_DIR)), caseName);

// The notation that the update mode writes must read back to the same bytes,
// or rewritten expectations would be wrong.
TEST(ScenarioText, EncodedOutputReadsBackExactly) {
    std::string bytes =
        "\x1B[?25l\rinstalling a-1.0 [####################        ]\r\x1B[?25h"
        "\x1B[?25l\r" +
        std::string(79, ' ') + "\r\x1B[?25h" + "installed a-1.0\n\nback\\slash  \n" +
        std::string(20, '\0') + "\x01}{" + "tail without newline ";
    for (std::string keyword : {"stdout", "expect-file /flash/x"}) {
        std::string text;
        for (const std::string& line : scenario::textDirective(keyword, bytes)) text += line + "\n";
        scenario::Scenario s;
        std::string error;
        ASSERT_TRUE(scenario::parseScenarioText("t.scn", text, s, error)) << error;
        ASSERT_EQ(s.directives.size(), 1u);
        EXPECT_EQ(s.directives[0].text, bytes);
    }
    for (std::string small : {"", "\n", " one line \n", "x"}) {
        std::string text;
        for (const std::string& line : scenario::textDirective("stdout", small))
            text += line + "\n";
        scenario::Scenario s;
        std::string error;
        ASSERT_TRUE(scenario::parseScenarioText("t.scn", text, s, error)) << error;
        EXPECT_EQ(s.directives[0].text, small) << text;
    }
}

TEST(ScenarioText, WordsEscapesAndErrors) {
    std::vector<std::string> words;
    std::string error;
    ASSERT_TRUE(scenario::splitWords("a \"b c\" note=\"x y\"\\s \\v{7.1} \\{3:ab}", words, error));
    EXPECT_EQ(words, (std::vector<std::string>{"a", "b c", "note=x y ", "117532160", "ababab"}));

    scenario::Scenario s;
    EXPECT_FALSE(scenario::parseScenarioText("t.scn", "instal x\n", s, error));
    EXPECT_EQ(error, "t.scn:1: unknown directive \"instal\"");
    EXPECT_FALSE(scenario::parseScenarioText("t.scn", "# c\nstdout <<END\nx\n", s, error));
    EXPECT_EQ(error, "t.scn:2: here-document without its end \"END\"");
    EXPECT_FALSE(scenario::parseScenarioText("t.scn", "run -r ROOT\n", s, error));
    EXPECT_FALSE(scenario::parseScenarioText("t.scn", "file /x \\q\n", s, error));
    EXPECT_FALSE(scenario::parseScenarioText("t.scn", "file /x \\{3x}\n", s, error));
}

}  // namespace
