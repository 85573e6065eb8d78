#include <cstdint>
#include <filesystem>

#include "database_fixture.h"
#include "pkgfile/package_reader.h"

namespace {

TEST_F(DatabaseTest, RefFilesStopAtTheFirstDamagedEntry) {
    const struct {
        std::string content;
        bool withWeight, ok;
        size_t entries;
    } cases[] = {
        {"a 1 2\nb 3 4", false, true, 2},
        {" \n\t\n", false, true, 0},
        {"a 1 2\nb 3\n", false, false, 1},
        {"api 1 2\n", true, false, 0},
        {"api 1 2 2147483648\n", true, false, 0},
        {"a 4294967296 0\n", false, false, 0},
        {"a 1x 2\n", false, false, 0},
        {std::string("\x01\xff\0\x7f 9 \x80", 8), false, false, 0},
        {"api 1 2 -2147483648\n", true, true, 1},
    };
    std::vector<PackageRef> refs;
    for (const auto& c : cases) {
        root.write("/flash/var/pdb/x/deps", c.content);
        refs.clear();
        EXPECT_EQ(PackageDatabase::readRefFile("/flash/var/pdb/x/deps", refs, c.withWeight), c.ok)
            << c.content;
        EXPECT_EQ(refs.size(), c.entries) << c.content;
    }
    EXPECT_EQ(refs.at(0).weight, INT32_MIN);
    EXPECT_TRUE(PackageDatabase::readRefFile("/flash/var/pdb/x/missing", refs, false));

    // A name of any length is read; only its first part is kept.
    root.write("/flash/var/pdb/x/deps", std::string(100000, 'n') + " 1 2\n");
    refs.clear();
    ASSERT_TRUE(PackageDatabase::readRefFile("/flash/var/pdb/x/deps", refs, false));
    EXPECT_EQ(refs.at(0).name.size(), 255u);
    EXPECT_EQ(refs.at(0).maxVersion, 2u);
}

TEST_F(DatabaseTest, DamagedMetaFilesScheduleTheUninstall) {
    const struct {
        const char* file;
        std::string content;
        int32_t action;
    } cases[] = {
        {"version", "5\n", ACTION_UNINSTALL},
        {"version", std::string(1 << 20, '9'), ACTION_UNINSTALL},
        {"deps", "lib 1\n", ACTION_UNINSTALL},
        {"provides", "api 1 2\n", ACTION_UNINSTALL},
        {"conflicts", "old x y\n", ACTION_UNINSTALL},
        {"bundle", "suite\n", ACTION_UNINSTALL},
        {"bundle", "\n", ACTION_NONE},
        {"files", std::string(1 << 20, '\0'), ACTION_NONE},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(root.host("/flash/var/pdb/pkg"));
        root.write("/flash/var/pdb/pkg/version", "100 200\n");
        root.write(std::string("/flash/var/pdb/pkg/") + c.file, c.content);
        load();
        ASSERT_EQ(installer.packages.size(), 1u);
        EXPECT_EQ(installer.packages[0]->scheduledAction, c.action) << c.file;
    }
}

TEST_F(DatabaseTest, FileListIsReadLineByLineWithinBounds) {
    root.write("/flash/var/pdb/pkg/version", "1 1\n");
    root.write("/flash/var/pdb/pkg/files",
               "bin/a\n\n/bin/b\nflash/bin/c\n" + std::string(5000, 'z') + "\nbin/last");
    load();
    EXPECT_EQ(installer.packages.at(0)->files,
              (std::set<std::string>{"/bin/a", "/bin/b", "/bin/last", "/flash/bin/c"}));

    std::string many;
    for (int i = 0; i < 50000; ++i) many += "flash/lib/file" + std::to_string(i) + "\n";
    root.write("/flash/var/pdb/pkg/files", many);
    load();
    EXPECT_EQ(installer.packages.at(0)->files.size(), 50000u);
}

TEST_F(DatabaseTest, OnlyAnExactAutoMarksAnAutomaticState) {
    const std::pair<std::string, uint8_t> cases[] = {
        {"auto\n", 0},
        {"auto", 0},
        {"user\n", 1},
        {"", 1},
        {"Auto\n", 1},
        {"auto \n", 1},
        {"auto" + std::string(100000, ' ') + "\n", 1},
    };
    root.write("/flash/var/pdb/pkg/version", "1 1\n");
    root.write("/flash/var/pdb/pkg/enabled", "user\n");  // not read while disabled
    for (const auto& [content, userState] : cases) {
        root.write("/flash/var/pdb/pkg/disabled", content);
        load();
        EXPECT_EQ(installer.packages.at(0)->disabled, 1);
        EXPECT_EQ(installer.packages[0]->userState, userState) << content.substr(0, 8);
    }
}

std::string le32(uint32_t v) {
    return {char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF), char(v >> 24)};
}
std::string part(uint16_t type, const std::string& payload) {
    return le32(type).substr(0, 2) + le32(uint32_t(payload.size())) + payload;
}
std::string header(const std::string& name, uint32_t version) {
    return name + std::string(16 - name.size(), '\0') + le32(version) + std::string(16, '\0');
}

TEST_F(DatabaseTest, UnreadableImagesFallBackToTheMetaFiles) {
    root.write("/flash/var/pdb/text/image", "this is not a package");
    root.write("/flash/var/pdb/text/version", "3 4\n");
    root.write("/flash/var/pdb/empty/image", "");
    root.write("/flash/var/pdb/empty/version", "5 6\n");
    std::string shortHeader = part(PART_PACKAGE_HEADER, "tiny");
    root.write("/flash/var/pdb/short/image", le32(PACKAGE_MAGIC) + le32(10) + shortHeader);
    root.write("/flash/var/pdb/short/version", "7 8\n");
    // A bundle whose second member header is cut short: the members end there.
    std::string bundle = part(PART_BUNDLE_HEADER, header("cut", 9)) +
                         part(PART_PACKAGE_HEADER, header("first", 1)) + shortHeader;
    root.write("/flash/var/pdb/cut/image",
               le32(PACKAGE_MAGIC) + le32(uint32_t(bundle.size())) + bundle);
    load();
    EXPECT_EQ(findPackage(installer, "text")->version, 3u);
    EXPECT_EQ(findPackage(installer, "empty")->version, 5u);
    EXPECT_EQ(findPackage(installer, "short")->version, 7u);
    EXPECT_EQ(findPackage(installer, "first")->bundleRef.name, "cut");
    EXPECT_EQ(findPackage(installer, "cut")->version, 9u);
    EXPECT_EQ(installer.packages.size(), 5u);
}

}  // namespace
