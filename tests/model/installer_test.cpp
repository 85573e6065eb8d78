#include <gtest/gtest.h>

#include "model/installer.h"
#include "support/temp_root.h"

namespace {

std::unique_ptr<InstalledPackage> record(const char* name, Version v, uint32_t built = 1) {
    auto p = std::make_unique<InstalledPackage>(name);
    p->version = v;
    p->buildTime = built;
    return p;
}

TEST(InstallerContext, LookupFindsTheFirstOfEqualNames) {
    CapturedOutput output;
    Installer& installer = Installer::instance();
    installer.append(record("a", makeVersion(1, 0, 0x66, 0)));
    InstalledPackage* first = installer.append(record("dup", makeVersion(1, 0, 0x66, 0)));
    installer.append(record("dup", makeVersion(2, 0, 0x66, 0)));
    auto placeholder = record("ph", PLACEHOLDER_VALUE, PLACEHOLDER_VALUE);
    installer.append(std::move(placeholder));
    EXPECT_EQ(findByName(installer, "dup"), 1);
    EXPECT_EQ(findPackage(installer, "dup"), first);
    EXPECT_EQ(findByName(installer, "ph"), 3);
    EXPECT_EQ(findByName(installer, "Dup"), -1);
    EXPECT_EQ(findPackage(installer, "missing"), nullptr);

    // Taking one out keeps the order of the others.
    installer.remove(first);
    ASSERT_EQ(installer.packages.size(), 3u);
    EXPECT_EQ(installer.packages[0]->name, "a");
    EXPECT_EQ(installer.packages[1]->version, makeVersion(2, 0, 0x66, 0));
    EXPECT_EQ(installer.packages[2]->name, "ph");
}

TEST(PackageNaming, NamesVersionsAndBundles) {
    InstalledPackage p("tool");
    EXPECT_EQ(nameWithVersion(p), "tool-0.0");
    EXPECT_FALSE(p.disabled);
    EXPECT_FALSE(p.userState);
    EXPECT_EQ(p.scheduledAction, ACTION_NONE);
    p.version = makeVersion(6, 40, 0x66, 1);
    EXPECT_EQ(displayName(p), "tool-6.40.1");

    p.bundleRef.name = "system";
    EXPECT_EQ(displayName(p), "system");
    p.bundleRef.minVersion = p.bundleRef.maxVersion = makeVersion(7, 1, 0x62, 3);
    EXPECT_EQ(displayName(p), "system-7.1beta3");

    PackageRef ref{"dep", 0, makeVersion(9, 0, 0x66, 0), 0};
    EXPECT_EQ(refText(ref), "dep");
    ref.minVersion = makeVersion(7, 1, 0x63, 0);
    EXPECT_EQ(refText(ref), "dep-7.1rc");

    EXPECT_TRUE(isPlaceholder(*record("x", PLACEHOLDER_VALUE, PLACEHOLDER_VALUE)));
    EXPECT_FALSE(isPlaceholder(*record("x", PLACEHOLDER_VALUE, 0)));
}

}  // namespace
