// Runs every scenario file of tests/e2e/scenarios against the installer
// binary (see e2e/scenario.h for the format).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "e2e/scenario.h"

namespace {

namespace stdfs = std::filesystem;

std::vector<std::string> scenarioFiles() {
    std::vector<std::string> files;
    for (const auto& entry :
         stdfs::directory_iterator(std::string(SOURCE_DIR) + "/tests/e2e/scenarios"))
        if (entry.path().extension() == ".scn") files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

class Scenarios : public ::testing::TestWithParam<std::string> {};

TEST_P(Scenarios, Run) {
    std::ifstream in(GetParam(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    scenario::Scenario s;
    std::string error;
    ASSERT_TRUE(scenario::parseScenarioText(GetParam(), text.str(), s, error)) << error;
    scenario::checkScenario(s);
}

INSTANTIATE_TEST_SUITE_P(Files, Scenarios, ::testing::ValuesIn(scenarioFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return stdfs::path(info.param).stem().string();
                         });

}  // namespace
