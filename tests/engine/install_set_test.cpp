// Installing a package set: bundles with their members, default-disabled
// members, dropped members, and the shapes of a bundle that are refused.
#include <sstream>

#include "engine/admission.h"
#include "install_fixture.h"

using namespace installtest;
using enginetest::refs;
using enginetest::ver;

namespace {

using InstallSet = InstallTest;

std::string bundleOf(const qpk::BundleRecipe& b, const std::vector<qpk::PackageRecipe>& members) {
    std::vector<std::string> files;
    for (const qpk::PackageRecipe& m : members) files.push_back(signedPackage(m));
    return qpk::buildBundle(b, files);
}

TEST_F(InstallSet, FreshBundleInstallsItsMembers) {
    uint8_t bootFlag = 7;
    std::string imageDir = "unchanged";
    ASSERT_EQ(install(bundleOf(bundleRecipe("base", "2.0"), {recipe("a"), recipe("b")}), 0, {},
                      &imageDir, &bootFlag),
              SET_OK);
    EXPECT_EQ(bootFlag, 0);
    EXPECT_EQ(imageDir, "/flash/var/pdb/base/");
    EXPECT_EQ(names(), (std::vector<std::string>{"base", "a", "b"}));
    EXPECT_TRUE(known("base")->isBundle);
    const PackageRef& ref = known("b")->bundleRef;
    EXPECT_EQ(ref.name, "base");
    EXPECT_EQ(ref.minVersion, ver("2.0"));
    EXPECT_EQ(ref.maxVersion, ver("2.0"));
    EXPECT_TRUE(installer.messages.empty());
    EXPECT_TRUE(installer.progressLine.empty());

    apply();
    EXPECT_FALSE(root.exists("/flash/var/pdb/base/files"));
    EXPECT_EQ(root.read("/flash/var/pdb/a/bundle"), "base\n");
    EXPECT_EQ(root.read("/flash/bin/b"), "b 1.0");
}

TEST_F(InstallSet, CopySinkReceivesTheWholeStream) {
    const std::string file = bundleOf(bundleRecipe("base"), {recipe("a")});
    std::istringstream in(file);
    std::stringbuf copy;
    ASSERT_EQ(installSet(installer, manifest, in, 0, {}, &copy, nullptr, nullptr), SET_OK);
    EXPECT_EQ(copy.str(), file);
}

struct MemberStateCase {
    const char* what;
    UserStates states;
    bool disabled;
    bool userState;
    std::vector<std::string> names;
};

TEST_F(InstallSet, DefaultDisabledMembers) {
    const MemberStateCase cases[] = {
        {"listed in part 20", {}, true, false, {"base", "", "a", "b"}},
        {"user chose enabled", {{"b", false}}, false, true, {"base", "a", "b"}},
        {"user chose disabled", {{"b", true}}, true, true, {"base", "a", "b"}},
    };
    for (const MemberStateCase& c : cases) {
        fresh();
        qpk::BundleRecipe b = bundleRecipe("base");
        b.defaultDisabled = refs("b");
        ASSERT_EQ(install(bundleOf(b, {recipe("a"), recipe("b")}), 0, c.states), SET_OK) << c.what;
        EXPECT_EQ(names(), c.names) << c.what;
        EXPECT_FALSE(known("a")->disabled) << c.what;
        EXPECT_EQ(bool(known("b")->disabled), c.disabled) << c.what;
        EXPECT_EQ(bool(known("b")->userState), c.userState) << c.what;
        EXPECT_TRUE(installer.messages.empty()) << c.what;
    }
}

TEST_F(InstallSet, ConflictingMemberInstallsDisabledSilently) {
    installer.append(record("other", "", "a"));
    ASSERT_EQ(install(bundleOf(bundleRecipe("base"), {recipe("a"), recipe("b")})), SET_OK);
    EXPECT_TRUE(known("a")->disabled);
    EXPECT_FALSE(known("b")->disabled);
    EXPECT_TRUE(installer.messages.empty());
}

TEST_F(InstallSet, MemberDroppedByTheNewBundleIsUninstalled) {
    preinstall(bundleOf(bundleRecipe("base", "1.0"), {recipe("a"), recipe("b")}));
    ASSERT_TRUE(root.exists("/flash/bin/b"));

    ASSERT_EQ(install(bundleOf(bundleRecipe("base", "2.0"), {recipe("a", "2.0")})), SET_OK);
    EXPECT_EQ(names(), (std::vector<std::string>{"base", "a"}));
    EXPECT_EQ(known("base")->version, ver("2.0"));
    apply();
    EXPECT_FALSE(root.exists("/flash/bin/b"));
    EXPECT_FALSE(root.exists("/flash/var/pdb/b/version"));
    EXPECT_EQ(root.read("/flash/bin/a"), "a 2.0");
}

TEST_F(InstallSet, OlderBundleIsRefusedAndChangesNothing) {
    preinstall(bundleOf(bundleRecipe("base", "2.0"), {recipe("a", "2.0")}));
    const std::vector<std::string> before = names();
    EXPECT_EQ(install(bundleOf(bundleRecipe("base", "1.0"), {recipe("a", "1.0")})), SET_REFUSED);
    EXPECT_EQ(names(), before);
    EXPECT_EQ(known("base")->version, ver("2.0"));
    EXPECT_TRUE(manifest.empty());
    EXPECT_EQ(
        installer.messages,
        std::vector<std::string>{
            "WARNING: omitting package base-1.0: newer package base-2.0 is already installed"});

    EXPECT_EQ(install(bundleOf(bundleRecipe("base", "1.0"), {recipe("a", "1.0")}), ADMIT_OLDER),
              SET_OK);
    EXPECT_EQ(known("base")->version, ver("1.0"));
    EXPECT_EQ(known("a")->version, ver("1.0"));
}

TEST_F(InstallSet, BundleWithRelationListsIsMalformed) {
    // The known newer bundle would make the admission check speak: it must
    // not be reached.
    preinstall(bundleOf(bundleRecipe("base", "2.0"), {recipe("a", "2.0")}));
    for (uint16_t type : {PART_DEPENDS, PART_PROVIDES, PART_CONFLICTS}) {
        const std::string file = withPartAfterHeader(
            bundleOf(bundleRecipe("base", "1.0"), {recipe("a")}), type, refListPayload(refs("x")));
        EXPECT_EQ(install(file), SET_BAD) << type;
        EXPECT_TRUE(installer.messages.empty()) << type;
        EXPECT_TRUE(manifest.empty()) << type;
        EXPECT_EQ(names(), (std::vector<std::string>{"base", "a"})) << type;
    }
}

TEST_F(InstallSet, DamagedMemberListIsMalformed) {
    std::string list = refListPayload(refs("a b"));
    list.resize(list.size() - 1);
    EXPECT_EQ(install(withPartAfterHeader(bundleOf(bundleRecipe("base"), {recipe("a")}),
                                          PART_BUNDLE_MEMBERS, list)),
              SET_BAD);
    EXPECT_EQ(known("a"), nullptr);
}

struct ShapeCase {
    const char* what;
    std::vector<qpk::PackageRecipe> members;
    std::optional<std::string> architecture;
    std::vector<qpk::RawPart> after;
    int status;
};

TEST_F(InstallSet, WhatMayFollowTheMembers) {
    qpk::PackageRecipe foreign = recipe("b");
    foreign.architecture = "mipsbe";
    const ShapeCase cases[] = {
        {"no members", {}, {}, {}, SET_EMPTY},
        {"architecture part after the members", {recipe("a")}, "i386", {}, SET_OK},
        {"two architecture parts",
         {recipe("a")},
         "i386",
         {{PART_ARCHITECTURE, "i386", {}}},
         SET_REFUSED},
        {"member list after the members",
         {recipe("a")},
         {},
         {{PART_BUNDLE_MEMBERS, refListPayload({}), {}}},
         SET_REFUSED},
        {"member carrying the bundle's name", {recipe("a"), recipe("base")}, {}, {}, SET_REFUSED},
        {"member refused by the admission check", {recipe("a"), foreign}, {}, {}, SET_REFUSED},
    };
    for (const ShapeCase& c : cases) {
        fresh();
        qpk::BundleRecipe b = bundleRecipe("base");
        b.architecture = c.architecture;
        b.partsAfterMembers = c.after;
        EXPECT_EQ(install(bundleOf(b, c.members)), c.status) << c.what;
        EXPECT_TRUE(installer.messages.empty()) << c.what;
    }
}

TEST_F(InstallSet, BrokenMemberIsReportedUnderTheBundleName) {
    qpk::PackageRecipe broken = recipe("b");
    broken.signatureOverride = std::string(132, '\0');
    EXPECT_EQ(install(bundleOf(bundleRecipe("base", "3.0"), {recipe("a"), broken})), SET_REFUSED);
    EXPECT_EQ(installer.messages,
              std::vector<std::string>{"ERROR: installation of base-3.0 failed: broken package"});
}

TEST_F(InstallSet, UnsafeBundleNameIsBroken) {
    for (const char* name : {"..", "a/b"}) {
        fresh();
        EXPECT_EQ(install(bundleOf(bundleRecipe(name), {recipe("a")})), SET_BAD) << name;
        EXPECT_TRUE(installer.packages.empty()) << name;
        EXPECT_TRUE(manifest.empty()) << name;
        EXPECT_EQ(installer.messages,
                  std::vector<std::string>{"ERROR: installation of " + std::string(name) +
                                           "-1.0 failed: broken package"});
    }
    // A member with such a name is broken too, named after its bundle.
    fresh();
    EXPECT_EQ(install(bundleOf(bundleRecipe("base"), {recipe("..")})), SET_REFUSED);
    EXPECT_EQ(installer.messages,
              std::vector<std::string>{"ERROR: installation of base-1.0 failed: broken package"});
}

TEST_F(InstallSet, ImageDirectoryAndBootFlagOfABundle) {
    EnvGuard env("bootimage", "1");
    qpk::BundleRecipe b = bundleRecipe("base");
    b.keepImagePayload = std::string(5000, 'k');
    qpk::PackageRecipe kernel = recipe("kernel");
    kernel.flags = FLAG_BOOT_IMAGE;
    std::string imageDir;
    uint8_t bootFlag = 0;
    ASSERT_EQ(install(bundleOf(b, {recipe("a"), kernel}), 0, {}, &imageDir, &bootFlag), SET_OK);
    EXPECT_EQ(imageDir, "/flash/var/pdb/base/");
    EXPECT_EQ(bootFlag, 1);
    EXPECT_FALSE(staged("/flash/bin/kernel"));
    EXPECT_TRUE(staged("/flash/bin/a"));
}

}  // namespace
