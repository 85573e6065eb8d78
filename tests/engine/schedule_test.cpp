// A chain of needs as long as the package list: the schedule walks it
// without recursion.
#include "engine/schedule.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "model/installer.h"
#include "support/temp_root.h"
#include "txn/manifest.h"

namespace {

// p0 needs p1, p1 needs p2, and so on; the last link needs `lastNeed` when
// that is given.
void plantChain(Installer& installer, int length, const char* lastNeed, bool disabled) {
    for (int i = 0; i < length; ++i) {
        auto p = std::make_unique<InstalledPackage>("p" + std::to_string(i));
        p->disabled = disabled;
        if (i + 1 < length)
            p->depends.push_back(PackageRef{"p" + std::to_string(i + 1), 0, 0, 0});
        else if (lastNeed)
            p->depends.push_back(PackageRef{lastNeed, 0, 0, 0});
        installer.append(std::move(p));
    }
}

TEST(ApplySchedule, ChainsOfNeedsAsLongAsTheList) {
    constexpr int LENGTH = 30000;
    TempRoot root;
    CapturedOutput output;
    Installer& installer = output.installer();
    {
        // Enabling the first link enables every other.
        plantChain(installer, LENGTH, nullptr, true);
        installer.packages[0]->scheduledAction = ACTION_ENABLE;
        FileManifest manifest(installer.console);
        EXPECT_TRUE(applySchedule(installer, manifest, 0));
        EXPECT_TRUE(std::all_of(installer.packages.begin(), installer.packages.end(),
                                [](const auto& p) { return !p->disabled; }));
    }
    installer.packages.clear();
    {
        // Nobody meets the last need: the whole chain goes.
        plantChain(installer, LENGTH, "gone", false);
        installer.append(std::make_unique<InstalledPackage>("other"));
        FileManifest manifest(installer.console);
        EXPECT_TRUE(applySchedule(installer, manifest, 0));
        ASSERT_EQ(installer.packages.size(), 1u);
        EXPECT_EQ(installer.packages[0]->name, "other");
    }
}

}  // namespace
