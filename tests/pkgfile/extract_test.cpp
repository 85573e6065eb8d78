#include "pkgfile/extract.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "model/installer.h"
#include "package_fixtures.h"
#include "pkgfile/package_reader.h"
#include "support/temp_root.h"
#include "fs/faults.h"
#include "txn/manifest.h"

using namespace fixtures;

namespace {

qpk::FileEntry file(const std::string& name, const std::string& contents, uint16_t mode = 0100644,
                    uint8_t cpuClass = 0) {
    return qpk::FileEntry{name, mode, contents, cpuClass};
}

class Extraction : public ::testing::Test {
  protected:
    void SetUp() override {
        root.mkdirs("/flash");
        root.mkdirs("/ram");
        package.name = "pkg";
    }

    // Extracts the files part of `bytes`; the reader stays for a look at the digest.
    bool extract(const std::string& bytes) {
        package.files.clear();
        Installer::instance().messages.clear();
        source = std::make_unique<std::istringstream>(bytes);
        reader = std::make_unique<PackageReader>(*source, true, nullptr);
        reader->wanted = {PART_FILES, PART_SIGNATURE};
        return reader->nextPart() == PART_FILES &&
               extractFiles(Installer::instance(), package, manifest, *reader);
    }
    bool extractRecords(const std::string& inflated) {
        qpk::PackageRecipe recipe = simpleRecipe("pkg");
        recipe.rawFilesStream = inflated;
        return extract(build(recipe));
    }
    bool extractFilesOf(const std::vector<qpk::FileEntry>& files) {
        return extractRecords(qpk::fileRecords(files));
    }
    std::string lastMessage() {
        auto& messages = Installer::instance().messages;
        return messages.empty() ? "" : messages.back();
    }
    std::string failure(const std::string& why) {
        return "ERROR: installation of " + nameWithVersion(package) + " failed: " + why;
    }

    TempRoot root;
    CapturedOutput output;
    FileManifest manifest;
    InstalledPackage package;
    std::unique_ptr<std::istringstream> source;
    std::unique_ptr<PackageReader> reader;
};

TEST_F(Extraction, TargetPaths) {
    struct Case {
        std::string name;
        bool disabled;
        std::string target;
    } cases[] = {
        {"bin/x", false, "/flash/bin/x"},
        {"/bin/x", false, "/flash/bin/x"},
        {"bin/x", true, "/flash/x/pkg/bin/x"},
        {"/bin/x", true, "/flash/x/pkg/bin/x"},
    };
    for (const Case& c : cases) {
        manifest = FileManifest();
        package.disabled = c.disabled;
        ASSERT_TRUE(extractFilesOf({file(c.name, "data")}));
        EXPECT_EQ(package.files, std::set<std::string>{c.target});
        manifest.apply(false);
        EXPECT_EQ(root.read(c.target), "data") << c.name;
    }
}

TEST_F(Extraction, OnlyRegularFilesAreWrittenAndSkippedOnesAreDigested) {
    qpk::PackageRecipe recipe = simpleRecipe("pkg");
    recipe.files = {file("etc", "directory bytes", 040755), file("lnk", "bin/x", 0120777),
                    file("bin/empty", ""), file("bin/run", "#!/bin/sh\n", 0100755)};
    std::string bytes = build(recipe);
    ASSERT_TRUE(extract(bytes));
    manifest.apply(false);
    EXPECT_EQ(root.tree("/flash"), "/flash/bin/\n/flash/bin/empty\n/flash/bin/run\n");
    EXPECT_EQ(package.files, (std::set<std::string>{"/flash/bin/empty", "/flash/bin/run"}));
    struct stat st;
    ASSERT_EQ(::stat(root.host("/flash/bin/run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(reader->nextPart(), PART_SIGNATURE);
    reader->parts().finishDigest();
    EXPECT_EQ(slotText(reader->parts().digestSlot()),
              digest(bytes.substr(8, bytes.size() - 8 - 132), false));
}

TEST_F(Extraction, CpuClassOfTheMachine) {
    struct Case {
        std::optional<std::string> pvr, flashInfo;
        int expected;
    } cases[] = {
        {{}, {}, 0},
        {"0x80211000", "0x10", 2},
        {"0x80211000", "0x0", 4},
        {"0x80211000", {}, 4},            // no /dev/flash in the root
        {"0x80211000", "0xFFFFFFFF", 4},  // a failed request reports nothing
        {"0x00830000", {}, 1},
        {"0x00200000", "0x10", 2},
        {"0x13020000", {}, 3},
        {"0x13030000", {}, 0},
    };
    for (const Case& c : cases) {
        ScopedEnv pvr("VELMORA_PVR", c.pvr), info("VELMORA_FLASH_INFO", c.flashInfo);
        EXPECT_EQ(machineCpuClass(), c.expected) << c.pvr.value_or("none");
    }
    ScopedEnv pvr("VELMORA_PVR", "0x80212100"), info("VELMORA_FLASH_INFO", "0");
    ASSERT_TRUE(extractFilesOf({file("two", "2", 0100644, 2), file("four", "4", 0100644, 4),
                                file("any", "0", 0100644, 0)}));
    EXPECT_EQ(package.files, (std::set<std::string>{"/flash/any", "/flash/four"}));
}

TEST_F(Extraction, EndOfTheInflatedStream) {
    std::string first = qpk::fileRecords({file("bin/a", "aaaa")});
    std::string second = qpk::fileRecords({file("bin/b", "bbbb")});
    std::string skipped = qpk::fileRecords({file("dir", "dddd", 040755)});
    struct Case {
        std::string stream;
        bool ok;
    } cases[] = {
        {first, true},
        {first + second.substr(0, 29), true},    // inside a record header
        {first + second.substr(0, 33), false},   // inside a name
        {first + second.substr(0, 37), false},   // inside the contents
        {first + skipped.substr(0, 35), false},  // inside skipped contents
    };
    for (const Case& c : cases) {
        EXPECT_EQ(extractRecords(c.stream), c.ok) << c.stream.size();
        EXPECT_TRUE(package.files.count("/flash/bin/a"));
        EXPECT_EQ(lastMessage(), c.ok ? "" : failure("broken package"));
    }
    // An empty stream, an empty part and data that is no zlib stream hold no records.
    EXPECT_TRUE(extractRecords(""));
    for (const char* payload : {"", "garbage"}) {
        EXPECT_TRUE(extract(packageFile(part(1, headerRecord("pkg")) + part(4, payload))));
        EXPECT_TRUE(package.files.empty());
    }
}

TEST_F(Extraction, NamesOutsideFlashFailBeforeAnythingIsStaged) {
    for (const char* name :
         {"../etc/passwd", "/bin/../../ram/x", "bin/..", "bin/", "/", "", ".", "a\nflash/other"}) {
        manifest = FileManifest();
        EXPECT_FALSE(extractFilesOf({file("bin/good", "g"), file(name, "evil")})) << name;
        EXPECT_EQ(lastMessage(), failure("broken package"));
        EXPECT_EQ(package.files, std::set<std::string>{"/flash/bin/good"});
        EXPECT_EQ(manifest.entries().size(), 1u);
        manifest.cancel();
    }
    package.name = "..";
    package.disabled = 1;
    EXPECT_FALSE(extractFilesOf({file("bin/x", "x")}));
    EXPECT_EQ(root.tree("/"), "/flash/\n/ram/\n");
}

TEST_F(Extraction, FileErrorsAreReported) {
    struct Case {
        unsigned op;
        int err;
        std::string message;
    } cases[] = {
        {rootfs::faults::CREATE, ENOSPC, "disk is too small"},
        {rootfs::faults::WRITE, EIO, "disk error"},
        {rootfs::faults::CREATE, EACCES, "could not create /bin/x: Permission denied"},
    };
    for (const Case& c : cases) {
        rootfs::faults::arm(c.op, 1, c.err);
        EXPECT_FALSE(extractFilesOf({file("/bin/x", "x")}));
        rootfs::faults::disarm();
        EXPECT_EQ(lastMessage(), failure(c.message));
        manifest.cancel();
    }
}

TEST_F(Extraction, LargeFileArrivesIntact) {
    std::string big(6 << 20, '\0');
    uint32_t x = 1;
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = char(i % 512 < 256 ? (x = x * 1664525 + 1013904223) >> 24 : i & 0xFF);
    qpk::PackageRecipe recipe = simpleRecipe("pkg");
    recipe.files = {file("boot/image", big)};
    recipe.zlibLevel = 1;
    ASSERT_TRUE(extract(build(recipe)));
    manifest.apply(false);
    EXPECT_TRUE(root.read("/flash/boot/image") == big);
}

}  // namespace
