// Runs every scenario file of tests/e2e/scenarios against the installer
// binary (see e2e/scenario.h for the format).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "e2e/scenario.h"

namespace {

namespace stdfs = std::filesystem;

std::set<std::string> scenarioFiles() {
    std::set<std::string> files;
    for (const auto& entry : stdfs::directory_iterator(SOURCE_DIR "/tests/e2e/scenarios"))
        if (entry.path().extension() == ".scn") files.insert(entry.path());
    return files;
}

class Scenarios : public ::testing::TestWithParam<std::string> {};

bool load(const std::string& path, scenario::Scenario& s) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    std::string error;
    EXPECT_TRUE(scenario::parseScenarioText(path, text.str(), s, error)) << error;
    return error.empty();
}

TEST_P(Scenarios, Run) {
    scenario::Scenario s;
    if (load(GetParam(), s)) scenario::checkScenario(s);
}

// The same scenarios once more, with "qpk plan" before every normal pass.
TEST_P(Scenarios, PlanAgrees) {
    scenario::Scenario s;
    if (load(GetParam(), s)) scenario::checkPlanAgreement(s);
}

INSTANTIATE_TEST_SUITE_P(Files, Scenarios, ::testing::ValuesIn(scenarioFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return stdfs::path(info.param).stem().string();
                         });

}  // namespace
