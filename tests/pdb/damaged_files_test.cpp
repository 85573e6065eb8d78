#include <cstdint>
#include <filesystem>

#include "database_fixture.h"
#include "pkgfile/package_reader.h"

namespace {

struct RefCase {
    const char* label;
    std::string content;
    bool withWeight;
    bool ok;
    size_t entries;
};

TEST_F(DatabaseTest, RefFilesStopAtTheFirstDamagedEntry) {
    const RefCase cases[] = {
        {"two entries", "a 1 2\nb 3 4\n", false, true, 2},
        {"no newline at end", "a 1 2", false, true, 1},
        {"empty", "", false, true, 0},
        {"blanks only", " \n\t\n", false, true, 0},
        {"one number", "a 1 2\nb 3\n", false, false, 1},
        {"weight", "api 1 2 -5\n", true, true, 1},
        {"missing weight", "api 1 2\n", true, false, 0},
        {"number too large", "a 4294967296 0\n", false, false, 0},
        {"letters for a number", "a 1x 2\n", false, false, 0},
        {"binary", std::string("\x01\xff\0\x7f 9 \x80", 8), false, false, 0},
        {"weight too large", "api 1 2 2147483648\n", true, false, 0},
    };
    for (const RefCase& c : cases) {
        SCOPED_TRACE(c.label);
        root.write("/flash/var/pdb/x/deps", c.content);
        std::vector<PackageRef> refs;
        EXPECT_EQ(PackageDatabase::readRefFile("/flash/var/pdb/x/deps", refs, c.withWeight), c.ok);
        EXPECT_EQ(refs.size(), c.entries);
    }
    std::vector<PackageRef> refs;
    EXPECT_TRUE(PackageDatabase::readRefFile("/flash/var/pdb/x/missing", refs, false));

    root.write("/flash/var/pdb/x/provides", "api 1 2 -2147483648\n");
    ASSERT_TRUE(PackageDatabase::readRefFile("/flash/var/pdb/x/provides", refs, true));
    EXPECT_EQ(refs[0].weight, INT32_MIN);

    // A name of any length is read, but only its first part is kept.
    root.write("/flash/var/pdb/x/deps", std::string(100000, 'n') + " 1 2\n");
    refs.clear();
    ASSERT_TRUE(PackageDatabase::readRefFile("/flash/var/pdb/x/deps", refs, false));
    ASSERT_EQ(refs.size(), 1u);
    EXPECT_EQ(refs[0].name.size(), 255u);
    EXPECT_EQ(refs[0].maxVersion, 2u);
}

struct DamageCase {
    const char* label;
    const char* file;
    std::string content;
    int32_t action;
};

TEST_F(DatabaseTest, DamagedMetaFilesScheduleTheUninstall) {
    const DamageCase cases[] = {
        {"version with one number", "version", "5\n", ACTION_UNINSTALL},
        {"version of a megabyte of digits", "version", std::string(1 << 20, '9'), ACTION_UNINSTALL},
        {"damaged deps", "deps", "lib 1\n", ACTION_UNINSTALL},
        {"damaged provides", "provides", "api 1 2\n", ACTION_UNINSTALL},
        {"damaged conflicts", "conflicts", "old x y\n", ACTION_UNINSTALL},
        {"bundle without image", "bundle", "suite\n", ACTION_UNINSTALL},
        {"empty bundle file", "bundle", "\n", ACTION_NONE},
        {"binary files list", "files", std::string(1 << 20, '\0'), ACTION_NONE},
    };
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove_all(root.host("/flash/var/pdb/pkg"));
        root.write("/flash/var/pdb/pkg/version", "100 200\n");
        root.write(std::string("/flash/var/pdb/pkg/") + c.file, c.content);
        load();
        ASSERT_EQ(installer.packages.size(), 1u);
        EXPECT_EQ(installer.packages[0]->scheduledAction, c.action);
    }
}

TEST_F(DatabaseTest, FileListIsReadLineByLineWithinBounds) {
    std::string list = "bin/a\n\n/bin/b\nflash/bin/c\n" + std::string(5000, 'z') + "\nbin/last";
    root.write("/flash/var/pdb/pkg/version", "1 1\n");
    root.write("/flash/var/pdb/pkg/files", list);
    load();
    ASSERT_EQ(installer.packages.size(), 1u);
    EXPECT_EQ(installer.packages[0]->files,
              (std::set<std::string>{"/bin/a", "/bin/b", "/bin/last", "/flash/bin/c"}));

    // A large list of many short lines is taken whole.
    std::string many;
    for (int i = 0; i < 50000; ++i) many += "flash/lib/file" + std::to_string(i) + "\n";
    root.write("/flash/var/pdb/pkg/files", many);
    load();
    EXPECT_EQ(installer.packages[0]->files.size(), 50000u);
}

TEST_F(DatabaseTest, StateFileWordsAreExact) {
    const std::pair<std::string, uint8_t> cases[] = {
        {"auto\n", 0},
        {"auto", 0},
        {"user\n", 1},
        {"", 1},
        {"auto \n", 1},
        {"Auto\n", 1},
        {"auto" + std::string(100000, ' ') + "\n", 1},
    };
    for (const auto& [content, userState] : cases) {
        SCOPED_TRACE(content.substr(0, 10));
        root.write("/flash/var/pdb/pkg/version", "1 1\n");
        root.write("/flash/var/pdb/pkg/disabled", content);
        root.write("/flash/var/pdb/pkg/enabled", "user\n");  // ignored while disabled
        load();
        ASSERT_EQ(installer.packages.size(), 1u);
        EXPECT_EQ(installer.packages[0]->disabled, 1);
        EXPECT_EQ(installer.packages[0]->userState, userState);
    }
}

std::string part(uint16_t type, const std::string& payload) {
    std::string bytes;
    bytes += char(type & 0xFF);
    bytes += char(type >> 8);
    uint32_t length = uint32_t(payload.size());
    for (int i = 0; i < 4; ++i) bytes += char((length >> (8 * i)) & 0xFF);
    return bytes + payload;
}

std::string container(const std::string& parts) {
    std::string bytes;
    uint32_t magic = PACKAGE_MAGIC;
    uint32_t size = uint32_t(parts.size());
    for (int i = 0; i < 4; ++i) bytes += char((magic >> (8 * i)) & 0xFF);
    for (int i = 0; i < 4; ++i) bytes += char((size >> (8 * i)) & 0xFF);
    return bytes + parts;
}

std::string header(const std::string& name, uint32_t version) {
    std::string record(36, '\0');
    record.replace(0, name.size(), name);
    for (int i = 0; i < 4; ++i) record[size_t(16 + i)] = char((version >> (8 * i)) & 0xFF);
    return record;
}

TEST_F(DatabaseTest, UnreadableImagesFallBackToTheMetaFiles) {
    root.write("/flash/var/pdb/text/image", "this is not a package");
    root.write("/flash/var/pdb/text/version", "3 4\n");
    root.write("/flash/var/pdb/empty/image", "");
    root.write("/flash/var/pdb/empty/version", "5 6\n");
    // A bundle whose second member header is cut short: the members end there.
    root.write("/flash/var/pdb/cut/image", container(part(PART_BUNDLE_HEADER, header("cut", 9)) +
                                                     part(PART_PACKAGE_HEADER, header("first", 1)) +
                                                     part(PART_PACKAGE_HEADER, "short")));
    root.write("/flash/var/pdb/short/image", container(part(PART_PACKAGE_HEADER, "tiny")));
    root.write("/flash/var/pdb/short/version", "7 8\n");
    load();

    EXPECT_EQ(findPackage(installer, "text")->version, 3u);
    EXPECT_EQ(findPackage(installer, "empty")->version, 5u);
    EXPECT_EQ(findPackage(installer, "short")->version, 7u);
    ASSERT_NE(findPackage(installer, "first"), nullptr);
    EXPECT_EQ(findPackage(installer, "first")->bundleRef.name, "cut");
    ASSERT_NE(findPackage(installer, "cut"), nullptr);
    EXPECT_EQ(findPackage(installer, "cut")->version, 9u);
    EXPECT_EQ(installer.packages.size(), 5u);
}

}  // namespace
