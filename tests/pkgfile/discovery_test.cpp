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

    std::vector<std::unique_ptr<PackageFile>> discover() {
        std::vector<std::unique_ptr<PackageFile>> list;
        discoverPackages(kDir, list);
        return list;
    }
    // Entry names in the order the host lists the directory.
    std::vector<std::string> hostOrder() {
        std::vector<std::string> names;
        DIR* dir = ::opendir(root.host(kDir).c_str());
        while (dirent* e = ::readdir(dir)) names.push_back(e->d_name);
        ::closedir(dir);
        return names;
    }
    std::vector<std::string>& messages() { return Installer::instance().messages; }

    TempRoot root;
    CapturedOutput output;
};

TEST_F(Discovery, ListsPackageFilesInDirectoryOrder) {
    std::string a = build(simpleSpec("alpha"));
    for (const char* name : {"b.qpk", "a.wpk", "same.qpk", "C.QPK", ".hidden.qpk", "notes.txt",
                             "x.qpk.bak", "qpk", "z.wpk"})
        root.write(kDir + name, a);
    auto list = discover();
    std::vector<std::string> expected, got;
    for (const std::string& name : hostOrder())
        if (name == "b.qpk" || name == "a.wpk" || name == "same.qpk" || name == "z.wpk")
            expected.push_back(kDir + name);
    for (const auto& file : list) got.push_back(file->path);
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(list.at(0)->name, "alpha");  // the same package twice is listed twice
}

TEST_F(Discovery, ReadsTheHeader) {
    qpk::PackageSpec spec = simpleSpec("web", 0x07016603);
    spec.depends = {{"system", 0x07000000, 0, 0}};
    spec.keepImagePayload = "kept";
    root.write(kDir + "web.qpk", build(spec));
    auto list = discover();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]->version, 0x07016603u);
    EXPECT_EQ(list[0]->architecture, "powerpc");
    EXPECT_EQ(list[0]->depends.at(0).name, "system");
    EXPECT_TRUE(list[0]->keepsImage);
    EXPECT_FALSE(list[0]->isBundle);
}

TEST_F(Discovery, BrokenFilesAreReportedByEntryName) {
    std::string good = build(simpleSpec("good"));
    root.write(kDir + "cut.qpk", good.substr(0, good.size() - 100));  // upload in progress
    root.write(kDir + "long.qpk", good + "trailing");
    root.write(kDir + "tiny.qpk", "abc");
    root.write(kDir + "magic.qpk", "\x01\x02\x03\x04" + good.substr(4));
    root.write(kDir + "first.qpk",
               packageFile(part(24, "text") + part(1, headerRecord("x", 1, 0))));
    root.mkdirs(kDir + "dir.wpk");
    root.write(kDir + "good.qpk", good);
    auto list = discover();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]->path, kDir + "good.qpk");
    std::set<std::string> reported(messages().begin(), messages().end());
    EXPECT_EQ(reported, (std::set<std::string>{
                            "ERROR: broken package cut.qpk", "ERROR: broken package long.qpk",
                            "ERROR: broken package tiny.qpk", "ERROR: broken package magic.qpk",
                            "ERROR: broken package first.qpk", "ERROR: broken package dir.wpk"}));
}

TEST_F(Discovery, Bundles) {
    std::string first = build(simpleSpec("first")), second = build(simpleSpec("second"));
    std::string damaged = packageFile(part(1, "short header record"));
    qpk::BundleSpec spec;
    spec.name = "system";
    spec.version = 0x07016603;
    spec.keepImagePayload = "image";
    spec.defaultDisabled = {{"second", 0, 0, 0}};
    spec.architecture = "powerpc";
    struct Case {
        const char* file;
        std::vector<std::string> members;
        std::vector<std::string> names;  // empty: broken
    } cases[] = {
        {"good.qpk", {first, second}, {"first", "second"}},
        {"empty.qpk", {}, {}},
        {"damaged.qpk", {first, damaged}, {}},
    };
    for (const Case& c : cases) root.write(kDir + c.file, qpk::buildBundle(spec, c.members));
    auto list = discover();
    for (const Case& c : cases) {
        const PackageFile* found = nullptr;
        for (const auto& file : list)
            if (file->path == kDir + c.file) found = file.get();
        if (c.names.empty()) {
            EXPECT_EQ(found, nullptr) << c.file;
            EXPECT_EQ(std::count(messages().begin(), messages().end(),
                                 std::string("ERROR: broken package ") + c.file),
                      1);
            continue;
        }
        ASSERT_NE(found, nullptr) << c.file;
        EXPECT_TRUE(found->isBundle);
        EXPECT_TRUE(found->keepsImage);
        std::vector<std::string> names;
        for (const auto& member : found->members) names.push_back(member->name);
        EXPECT_EQ(names, c.names);
    }
}

TEST_F(Discovery, MissingDirectoryIsQuiet) {
    std::vector<std::unique_ptr<PackageFile>> list;
    discoverPackages("/flash/var/pckg/", list);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(messages().empty());
}

}  // namespace
