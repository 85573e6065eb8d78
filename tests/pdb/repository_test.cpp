#include <map>

#include "database_fixture.h"
#include "txn/rootfs.h"

namespace {

constexpr Version V1 = makeVersion(6, 40, 'f', 0);
constexpr Version V2 = makeVersion(7, 1, 'c', 0);

std::string bundleImage(const std::string& name, Version version,
                        const std::vector<std::string>& members) {
    qpk::BundleSpec spec;
    spec.name = name;
    spec.version = version;
    std::vector<std::string> files;
    for (const std::string& m : members) {
        qpk::PackageSpec member;
        member.name = m;
        member.version = V1;
        member.architecture = "powerpc";
        member.depends = {ref("system", V1, 0)};
        files.push_back(qpk::buildPackage(member, qpk::SigningKeys{}));
    }
    return qpk::buildBundle(spec, files);
}

TEST_F(DatabaseTest, LoadOrderFollowsTheThreePasses) {
    root.write("/flash/var/pdb/suite/image", bundleImage("suite", V2, {"m1", "m2"}));
    root.write("/flash/var/pdb/suite/disabled", "auto\n");
    root.write("/flash/var/pdb/plain/image", packageImage("plain", V1, 1000));
    root.write("/flash/var/pdb/meta/version", "5 6\n");
    root.write("/flash/var/pdb/renamed/image", packageImage("other", V1));
    root.write("/flash/var/pdb/renamed/version", "7 8\n");
    root.write("/flash/var/pdb/.hidden/image", packageImage("hidden", V1));
    root.write("/flash/var/pdb/.hidden/version", "1 1\n");
    root.write("/rw/pckg/.images/plain", packageImage("plain", V2));
    root.write("/rw/pckg/.images/meta", packageImage("meta", V2));
    root.write("/rw/pckg/.images/stray", packageImage("stray", V2));

    // Each pass lists the database root in directory order.
    std::vector<std::string> entries;
    ASSERT_TRUE(rootfs::listDirectory(DATABASE_ROOT, entries));
    const std::map<std::string, std::vector<std::string>> fromImages = {
        {"suite", {"m1", "m2", "suite"}}, {"plain", {"plain"}}, {"renamed", {"other"}}};
    const std::map<std::string, std::vector<std::string>> fromSecond = {{"plain", {"plain"}},
                                                                        {"meta", {"meta"}}};
    std::vector<std::string> expected;
    for (const auto* pass : {&fromImages, &fromSecond})
        for (const std::string& e : entries)
            if (pass->count(e))
                expected.insert(expected.end(), pass->at(e).begin(), pass->at(e).end());
    for (const std::string& e : entries)
        if (e == "renamed") expected.push_back("renamed");

    load();
    EXPECT_EQ(loadedNames(), expected);
    EXPECT_EQ(output.text(), "");

    InstalledPackage* m1 = findPackage(installer, "m1");
    ASSERT_NE(m1, nullptr);
    EXPECT_EQ(m1->bundleRef.name, "suite");
    EXPECT_EQ(m1->bundleRef.minVersion, V2);
    EXPECT_EQ(m1->bundleRef.maxVersion, V2);
    EXPECT_EQ(m1->architecture, "i386");  // the architecture part is not read
    ASSERT_EQ(m1->depends.size(), 1u);
    EXPECT_EQ(m1->scheduledAction, ACTION_NONE);

    InstalledPackage* suite = findPackage(installer, "suite");
    EXPECT_EQ(suite->isBundle, 1);
    EXPECT_EQ(suite->disabled, 1);  // state files are read for image records too
    EXPECT_EQ(suite->userState, 0);
    EXPECT_EQ(findPackage(installer, "plain")->version, V1);  // the database's image first

    // Meta files of image records are not read; the directory of an image
    // with another name is loaded again from its meta files.
    EXPECT_EQ(findPackage(installer, "other")->version, V1);
    InstalledPackage* renamed = findPackage(installer, "renamed");
    EXPECT_EQ(renamed->version, 7u);
    EXPECT_EQ(renamed->architecture, "");
    EXPECT_EQ(renamed->isBundle, 1);  // no "files"
}

TEST_F(DatabaseTest, MissingDatabaseGivesOneWarningUnlessQuiet) {
    load();
    EXPECT_TRUE(installer.packages.empty());
    EXPECT_EQ(output.text(), "WARNING: could not open repo\n");
    EXPECT_EQ(installer.arch, "ppc");

    CapturedOutput quiet;
    PackageDatabase::open(installer, true, "ppc");
    EXPECT_EQ(quiet.text(), "");
    EXPECT_EQ(installer.quiet, 1);
}

struct ScheduleCase {
    const char* label;
    const char* content;  // null: no schedule file
    int32_t action;
    uint8_t userState;
};

class ScheduleTest : public DatabaseTest, public ::testing::WithParamInterface<ScheduleCase> {};

TEST_P(ScheduleTest, FirstWordDecides) {
    const ScheduleCase& c = GetParam();
    root.write("/flash/var/pdb/foo bar+/version", "1 2\n");
    root.write("/flash/var/pdb/foo bar+/files", "");
    if (c.content) root.write("/ram/pdb/foobar/schedule", c.content);
    load();
    ASSERT_EQ(installer.packages.size(), 1u);
    EXPECT_EQ(installer.packages[0]->scheduledAction, c.action);
    EXPECT_EQ(installer.packages[0]->userState, c.userState);
}

INSTANTIATE_TEST_SUITE_P(
    Words, ScheduleTest,
    ::testing::Values(ScheduleCase{"Missing", nullptr, ACTION_NONE, 0},
                      ScheduleCase{"Empty", "", ACTION_NONE, 0},
                      ScheduleCase{"Uninstall", "uninstall\n", ACTION_UNINSTALL, 0},
                      ScheduleCase{"EnableAfterBlanks", " \n\tenable", ACTION_ENABLE, 1},
                      ScheduleCase{"DisableWithMoreWords", "disable now please\n", ACTION_DISABLE,
                                   1},
                      ScheduleCase{"CapitalLetter", "Disable\n", ACTION_NONE, 0},
                      ScheduleCase{"LongerWord", "enabled\n", ACTION_NONE, 0}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(DatabaseTest, OnlyTheFirstWordOfALargeScheduleIsUsed) {
    const std::string kHugeTail(1 << 20, 'x');
    const std::pair<std::string, int32_t> cases[] = {{"disable " + kHugeTail, ACTION_DISABLE},
                                                     {"disable" + kHugeTail, ACTION_NONE}};
    for (const auto& [content, action] : cases) {
        root.write("/flash/var/pdb/foo/version", "1 2\n");
        root.write("/ram/pdb/foo/schedule", content);
        load();
        ASSERT_EQ(installer.packages.size(), 1u);
        EXPECT_EQ(installer.packages[0]->scheduledAction, action);
    }
}

TEST(ScheduleKey, KeepsLettersDigitsAndHyphens) {
    EXPECT_EQ(scheduleKey("foo bar+"), "foobar");
    EXPECT_EQ(scheduleKey("Wire-Guard_2.x"), "Wire-Guard2x");
    EXPECT_EQ(scheduleKey("\xc3\xa9t\xc3\xa9"), "t");
}

TEST_F(DatabaseTest, ScheduleOverridesTheDamageMark) {
    root.write("/flash/var/pdb/broken/deps", "lib 1\n");
    root.write("/ram/pdb/broken/schedule", "enable\n");
    load();
    ASSERT_EQ(installer.packages.size(), 1u);
    EXPECT_EQ(installer.packages[0]->scheduledAction, ACTION_ENABLE);
}

TEST_F(DatabaseTest, PlaceholderGetsStateButNoSchedule) {
    root.write("/flash/var/pdb/hold/image",
               packageImage("hold", PLACEHOLDER_VALUE, PLACEHOLDER_VALUE));
    root.write("/flash/var/pdb/hold/disabled", "user\n");
    root.write("/ram/pdb/hold/schedule", "uninstall\n");
    load();
    ASSERT_EQ(installer.packages.size(), 1u);
    const InstalledPackage& p = *installer.packages[0];
    EXPECT_TRUE(isPlaceholder(p));
    EXPECT_EQ(p.disabled, 1);
    EXPECT_EQ(p.userState, 1);
    EXPECT_EQ(p.scheduledAction, ACTION_NONE);
}

}  // namespace
