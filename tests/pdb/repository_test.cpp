#include <filesystem>
#include <map>

#include "database_fixture.h"
#include "fs/rootfs.h"

namespace {

constexpr Version V1 = makeVersion(6, 40, 'f', 0);
constexpr Version V2 = makeVersion(7, 1, 'c', 0);

std::string bundleImage(const std::string& name, const std::vector<std::string>& members) {
    qpk::BundleRecipe def;
    def.name = name;
    def.version = V2;
    std::vector<std::string> files;
    for (const std::string& m : members) {
        qpk::PackageRecipe member;
        member.name = m;
        member.version = V1;
        member.architecture = "powerpc";
        member.depends = {PackageRef{"system", V1, 0}};
        files.push_back(qpk::buildPackage(member, qpk::SigningKeys{}));
    }
    return qpk::buildBundle(def, files);
}

TEST_F(DatabaseTest, LoadOrderFollowsTheThreePasses) {
    root.write("/flash/var/pdb/suite/image", bundleImage("suite", {"m1", "m2"}));
    root.write("/flash/var/pdb/suite/disabled", "auto\n");
    root.write("/flash/var/pdb/plain/image", packageImage("plain", V1));
    root.write("/flash/var/pdb/meta/version", "5 6\n");
    root.write("/flash/var/pdb/renamed/image", packageImage("other", V1));
    root.write("/flash/var/pdb/renamed/version", "7 8\n");
    root.write("/flash/var/pdb/.hidden/image", packageImage("hidden", V1));
    root.write("/flash/var/pdb/.hidden/version", "1 1\n");
    root.write("/rw/pckg/.images/plain", packageImage("plain", V2));
    root.write("/rw/pckg/.images/meta", packageImage("meta", V2));
    root.write("/rw/pckg/.images/stray", packageImage("stray", V2));

    // Each pass goes through the database root in directory order.
    std::vector<std::string> entries, expected;
    ASSERT_TRUE(rootfs::listDirectory(DATABASE_ROOT, entries));
    const std::map<std::string, std::vector<std::string>> passes[] = {
        {{"suite", {"m1", "m2", "suite"}}, {"plain", {"plain"}}, {"renamed", {"other"}}},
        {{"plain", {"plain"}}, {"meta", {"meta"}}},
        {{"renamed", {"renamed"}}}};
    for (const auto& pass : passes)
        for (const std::string& e : entries)
            if (pass.count(e))
                expected.insert(expected.end(), pass.at(e).begin(), pass.at(e).end());
    load();
    std::vector<std::string> names;
    for (const auto& p : installer.packages) names.push_back(p->name);
    EXPECT_EQ(names, expected);
    EXPECT_EQ(output.text(), "");

    const InstalledPackage* m1 = findPackage(installer, "m1");
    EXPECT_EQ(refText(m1->bundleRef), "suite-7.1rc");
    EXPECT_EQ(m1->bundleRef.maxVersion, V2);
    EXPECT_EQ(m1->architecture, "i386");  // the architecture part is not read
    EXPECT_EQ(m1->depends.size(), 1u);
    const InstalledPackage* suite = findPackage(installer, "suite");
    EXPECT_EQ(suite->isBundle, 1);
    EXPECT_EQ(suite->disabled, 1);  // state files are read for image records too
    EXPECT_EQ(findPackage(installer, "plain")->version, V1);  // the database's image first
    EXPECT_EQ(findPackage(installer, "other")->version, V1);
    // The directory whose image has another name comes back from its meta files.
    const InstalledPackage* renamed = findPackage(installer, "renamed");
    EXPECT_EQ(renamed->version, 7u);
    EXPECT_EQ(renamed->architecture, "");
}

TEST_F(DatabaseTest, MissingDatabaseGivesOneWarningUnlessQuiet) {
    load();
    EXPECT_TRUE(installer.packages.empty());
    EXPECT_EQ(output.text(), "WARNING: could not open repo\n");
    CapturedOutput quiet;
    PackageDatabase::open(installer, true, "ppc");
    EXPECT_EQ(quiet.text(), "");
    EXPECT_EQ(installer.quiet, 1);
    EXPECT_EQ(installer.arch, "ppc");
}

TEST_F(DatabaseTest, FirstWordOfTheScheduleFileDecides) {
    const std::string tail(1 << 20, 'x');
    const struct {
        const char* content;  // null: no schedule file
        std::string large;
        int32_t action;
        uint8_t userState;
    } cases[] = {
        {nullptr, "", ACTION_NONE, 0},
        {"", "", ACTION_NONE, 0},
        {"uninstall\n", "", ACTION_UNINSTALL, 0},
        {" \n\tenable", "", ACTION_ENABLE, 1},
        {"disable now please\n", "", ACTION_DISABLE, 1},
        {"Disable\n", "", ACTION_NONE, 0},
        {"enabled\n", "", ACTION_NONE, 0},
        {"disable ", tail, ACTION_DISABLE, 1},
        {"disable", tail, ACTION_NONE, 0},
    };
    EXPECT_EQ(scheduleKey("foo bar+"), "foobar");
    EXPECT_EQ(scheduleKey("Wire-Guard_2.x"), "Wire-Guard2x");
    root.write("/flash/var/pdb/foo bar+/version", "1 2\n");
    for (const auto& c : cases) {
        std::filesystem::remove_all(root.host("/ram"));
        if (c.content) root.write("/ram/pdb/foobar/schedule", c.content + c.large);
        load();
        EXPECT_EQ(installer.packages.at(0)->scheduledAction, c.action) << c.content;
        EXPECT_EQ(installer.packages[0]->userState, c.userState) << c.content;
    }
}

TEST_F(DatabaseTest, ScheduleOverridesTheDamageMark) {
    root.write("/flash/var/pdb/broken/deps", "lib 1\n");
    root.write("/ram/pdb/broken/schedule", "enable\n");
    load();
    EXPECT_EQ(installer.packages.at(0)->scheduledAction, ACTION_ENABLE);
}

TEST_F(DatabaseTest, PlaceholderGetsStateButNoSchedule) {
    root.write("/flash/var/pdb/hold/image",
               packageImage("hold", PLACEHOLDER_VALUE, PLACEHOLDER_VALUE));
    root.write("/flash/var/pdb/hold/disabled", "user\n");
    root.write("/ram/pdb/hold/schedule", "uninstall\n");
    load();
    const InstalledPackage& p = *installer.packages.at(0);
    EXPECT_TRUE(isPlaceholder(p));
    EXPECT_EQ(p.disabled + p.userState, 2);
    EXPECT_EQ(p.scheduledAction, ACTION_NONE);
}

}  // namespace
