// Runs every scenario file of tests/e2e/scenarios against the installer
// binary (see e2e/scenario.h for the format).
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>

#include "e2e/runner.h"
#include "e2e/scenario.h"

namespace {

class Scenarios : public ::testing::TestWithParam<std::string> {};

TEST_P(Scenarios, Run) {
    scenario::Scenario s;
    std::string error;
    ASSERT_TRUE(scenario::parseScenario(GetParam(), s, error)) << error;
    scenario::checkScenario(s);
}

std::string caseName(const ::testing::TestParamInfo<std::string>& info) {
    std::string name = std::filesystem::path(info.param).stem().string();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Files, Scenarios,
                         ::testing::ValuesIn(scenario::listScenarioFiles(std::string(SOURCE_DIR) +
                                                                         "/tests/e2e/scenarios")),
                         caseName);

}  // namespace
