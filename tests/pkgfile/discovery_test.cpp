#include "pkgfile/discovery.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "model/installer.h"
#include "package_fixtures.h"
#include "support/temp_root.h"

using namespace fixtures;

namespace {

const std::string kDir = "/flash/rw/pckg/";

class Discovery : public ::testing::Test {
  protected:
    void SetUp() override { root.mkdirs(kDir); }
    std::vector<std::unique_ptr<PackageFile>> discover(const std::string& dir = kDir) {
        std::vector<std::unique_ptr<PackageFile>> list;
        discoverPackages(Installer::instance(), dir, list);
        return list;
    }
    std::vector<std::string>& messages() { return Installer::instance().messages; }

    TempRoot root;
    CapturedOutput output;
};

TEST_F(Discovery, ListsPackageFilesInDirectoryOrder) {
    std::string a = build(simpleRecipe("alpha"));
    for (const char* name : {"b.qpk", "a.wpk", "same.qpk", "C.QPK", ".hidden.qpk", "notes.txt",
                             "x.qpk.bak", "qpk", "z.wpk"})
        root.write(kDir + name, a);
    std::vector<std::string> expected, got;
    DIR* dir = ::opendir(root.host(kDir).c_str());
    while (dirent* e = ::readdir(dir))
        if (std::set<std::string>{"b.qpk", "a.wpk", "same.qpk", "z.wpk"}.count(e->d_name))
            expected.push_back(kDir + e->d_name);
    ::closedir(dir);
    auto list = discover();
    for (const auto& file : list) got.push_back(file->path);
    EXPECT_EQ(got, expected);  // the same package in two files is listed twice
    EXPECT_EQ(list.at(0)->name, "alpha");
    EXPECT_EQ(list.at(0)->architecture, "powerpc");
    EXPECT_TRUE(discover("/flash/var/pckg/").empty());
    EXPECT_TRUE(messages().empty());
}

TEST_F(Discovery, BrokenFilesAreReportedByEntryName) {
    std::string good = build(simpleRecipe("good"));
    root.write(kDir + "cut.qpk", good.substr(0, good.size() - 100));  // upload in progress
    root.write(kDir + "long.qpk", good + "trailing");
    root.write(kDir + "tiny.qpk", "abc");
    root.write(kDir + "magic.qpk", "\x01\x02\x03\x04" + good.substr(4));
    root.write(kDir + "first.qpk", packageFile(part(24, "text") + part(1, headerRecord("x"))));
    root.mkdirs(kDir + "dir.wpk");
    root.write(kDir + "good.qpk", good);
    auto list = discover();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]->path, kDir + "good.qpk");
    std::set<std::string> reported(messages().begin(), messages().end()), expected;
    for (const char* name :
         {"cut.qpk", "long.qpk", "tiny.qpk", "magic.qpk", "first.qpk", "dir.wpk"})
        expected.insert(std::string("ERROR: broken package ") + name);
    EXPECT_EQ(reported, expected);
}

TEST_F(Discovery, Bundles) {
    std::string first = build(simpleRecipe("first")), second = build(simpleRecipe("second"));
    std::string damaged = packageFile(part(1, "short header record"));
    qpk::BundleRecipe recipe;
    recipe.name = "system";
    recipe.keepImagePayload = "image";
    recipe.defaultDisabled = {{"second", 0, 0, 0}};
    recipe.architecture = "powerpc";
    root.write(kDir + "good.qpk", qpk::buildBundle(recipe, {first, second}));
    root.write(kDir + "empty.qpk", qpk::buildBundle(recipe, {}));
    root.write(kDir + "damaged.qpk", qpk::buildBundle(recipe, {first, damaged}));
    auto list = discover();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_TRUE(list[0]->isBundle && list[0]->keepsImage);
    ASSERT_EQ(list[0]->members.size(), 2u);
    EXPECT_EQ(list[0]->members[0]->name, "first");
    EXPECT_EQ(list[0]->members[1]->name, "second");
    std::set<std::string> reported(messages().begin(), messages().end());
    EXPECT_EQ(reported, (std::set<std::string>{"ERROR: broken package empty.qpk",
                                               "ERROR: broken package damaged.qpk"}));
}

}  // namespace
