#include "engine/schedule.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "model/installer.h"
#include "support/temp_root.h"
#include "txn/manifest.h"

namespace {

// A chain of needs as long as the package list: the schedule walks it
// without recursion.
TEST(ApplySchedule, ChainsOfNeedsAsLongAsTheList) {
    constexpr int LENGTH = 30000;
    TempRoot root;
    CapturedOutput output;
    Installer& installer = output.installer();
    // p0 needs p1, p1 needs p2, and so on; the last link needs `last`.
    auto plant = [&installer](bool disabled, const std::string& last) {
        installer.packages.clear();
        for (int i = 0; i < LENGTH; ++i) {
            auto p = std::make_unique<InstalledPackage>("p" + std::to_string(i));
            p->disabled = disabled;
            const std::string need = i + 1 < LENGTH ? "p" + std::to_string(i + 1) : last;
            if (!need.empty()) p->depends.push_back(PackageRef{need, 0, 0, 0});
            installer.append(std::move(p));
        }
    };
    FileManifest first{installer.console}, second{installer.console};
    // Enabling the first link enables every other.
    plant(true, "");
    installer.packages[0]->scheduledAction = ACTION_ENABLE;
    EXPECT_TRUE(applySchedule(installer, first, 0));
    EXPECT_TRUE(std::all_of(installer.packages.begin(), installer.packages.end(),
                            [](const auto& p) { return !p->disabled; }));
    // Nobody meets the last need: the whole chain goes.
    plant(false, "gone");
    installer.append(std::make_unique<InstalledPackage>("other"));
    EXPECT_TRUE(applySchedule(installer, second, 0));
    ASSERT_EQ(installer.packages.size(), 1u);
    EXPECT_EQ(installer.packages[0]->name, "other");
}

}  // namespace
