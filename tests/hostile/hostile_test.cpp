// The hostile catalogue: damaged or malicious package files, links planted in
// the flash that lead to the system's own files, records that name files
// outside /flash. A router root holds canaries outside the installer's places
// (/etc, /rw, /ram) and a good installation of a-1.0 and base-1.0; each row
// plants, offers a file from flash and/or on standard input, and states the
// exit status and a line of the output. Whatever happens, the whole tree
// stays as it was apart from the paths the row allows (the log and the
// standard-input image file always may change; an install may change /flash).
// Each row is a scenario (e2e/scenario.h) run as root and as nobody.
#include <gtest/gtest.h>

#include <fstream>

#include "e2e/scenario.h"
#include "model/version.h"
#include "pkgfile/package_reader.h"
#include "support/packages.h"
#include "support/run.h"
#include "support/temp_root.h"

namespace {

struct Expect {
    int status = -1;        // -1: not offered this way
    std::string line;       // a line of the output ("" none)
    bool installs = false;  // no error line; /flash may change; "after" or bin/a is checked
};

struct Row {
    const char* name;
    std::string plant;  // directives after the good installation
    std::string offer;  // package words of the file offered ("" none)
    Expect flash, stdinRun;
    std::string mayChange = "";  // paths that may change, blank-separated
    std::string after = "";      // further directives after the run
    std::string pre = "";        // directives before the good installation
};

const std::string BASE = R"(file /etc/passwd root:x:0:0:root:/root:/bin/sh
file /etc/canary canary
file /rw/keep rw
file /ram/keep ram
dir /flash/rw/pckg
package good name=a version=1.0 build-time=1000 "exec=bin/a:good a 1.0\n" "file=lib/liba:good liba 1.0\n"
package base name=base version=1.0 build-time=1000 "exec=bin/base:base\n"
place good /flash/rw/pckg/a.qpk
place base /flash/rw/pckg/base.qpk
run -- -r ROOT
stdout-has "installed base-1.0"
remove /flash/rw/pckg/a.qpk
remove /flash/rw/pckg/base.qpk
)";

// A package `name` of `version` with the files bin/a and lib/liba.
std::string pkg(const std::string& name, const std::string& version, const std::string& more = "") {
    return "name=" + name + " version=" + version + " build-time=1000 \"exec=bin/a:" + name + " " +
           version + "\\n\" \"file=lib/liba:lib " + version + "\\n\" " + more;
}
std::string a2(const std::string& more = "") {
    return pkg("a", "2.0", more);
}
// a-2.0 whose files part holds bin/a and then the raw record `record`.
std::string withRecord(const std::string& record) {
    return a2("\"record=100644:::bin/a:a 2.0\\n\" \"record=" + record + "\"");
}
std::string bundle(const std::string& name, const std::string& members) {
    return "name=" + name + " version=1.0 build-time=1 keep-image=image bundle-of=" + members;
}
std::string failed(const std::string& what, const std::string& why = "broken package") {
    return "ERROR: installation of " + what + " failed: " + why;
}

const std::string LOOP_TEXT = "Too many levels of symbolic links";
const Expect NONE;
const Expect BROKEN_FILE{0, "ERROR: broken package a.qpk"};
const Expect BROKEN_A2{1, failed("a-2.0")};
const Expect STDIN_BROKEN{1, ""};
const Expect INSTALLS_A2{0, "installed a-2.0", true};
const Expect STDIN_INSTALLS{0, "", true};
const Expect ETC_A2{1, failed("a-2.0", "could not create bin/a: " + LOOP_TEXT)};
const Expect ETC_X2{1, failed("x-2.0", "could not create meta/version: " + LOOP_TEXT)};
Expect both(const std::string& line, int status = 1) {
    return {status, line};
}

const std::string MEMBER_M = "package m " + pkg("m", "1.0");
const std::string EVIL = "package evil " + pkg("evil", "9.0");
const std::string BIN_TO_ETC = "remove /flash/bin\nsymlink /flash/bin /etc\nfile /etc/a system a";
const std::string RECORD_TO_ETC = "symlink /flash/var/pdb/x /etc";
const std::string DATABASE_TO_ETC =
    "move /flash/var/pdb/a /etc/a\nmove /flash/var/pdb/base /etc/base\nremove /flash/var/pdb\n"
    "symlink /flash/var/pdb /etc\nfile /etc/ssl/cert cert";
const std::string IMAGE_TO_ETC =
    "remove /flash/var/pdb/a/image\nsymlink /flash/var/pdb/a/image /etc/canary";
const std::string SMALL_DISK = "tmpfs /flash 1m\ntmpfs /ram 256k\n";
const Expect DISK_FULL{1, failed("a-2.0", "disk is too small")};

const Row ROWS[] = {
    // The file header.
    {"FileSizeBeyondFile", "", a2("size-field=+1000"), BROKEN_FILE, STDIN_INSTALLS},
    {"FileSizeAllOnes", "", a2("size-field=0xFFFFFFFF"), BROKEN_FILE, STDIN_INSTALLS},
    {"FileSizeWrapsToZero", "", a2("size-field=0xFFFFFFF8"), BROKEN_FILE, STDIN_INSTALLS},
    {"FileSizeZero", "", a2("size-field=0"), BROKEN_FILE, STDIN_INSTALLS},
    {"EmptyFile", "", a2("keep=0"), BROKEN_FILE, STDIN_BROKEN},
    {"ShorterThanFileHeader", "", a2("keep=5"), BROKEN_FILE, STDIN_BROKEN},
    {"UnknownMagic", "", a2("magic=0x04030201"), BROKEN_FILE, STDIN_BROKEN},
    {"NothingAfterFileHeader", "", "raw=", BROKEN_FILE, STDIN_BROKEN},
    // Part lengths and counts.
    {"HeaderPartLongerThanFile", "", "raw=1/0xFFFFFFFF/hdr:a:2.0", BROKEN_A2, BROKEN_A2},
    {"HeaderPartShorterThanRecord", "", "raw=1//hdr:a:2.0:20", BROKEN_FILE, STDIN_BROKEN},
    {"FilesPartLongerThanFile", "", a2("signature=no files-length=0xFFFFFFF0"), BROKEN_A2,
     BROKEN_A2},
    {"NoteLengthNear4GiB", "", a2("insert=50:23/0xFFFFFFF0/note"), BROKEN_FILE, BROKEN_A2},
    {"Text24LengthNear4GiBCutShort", "", "raw=1//hdr:a:2.0+24/0xFFFFFFFF/t", BROKEN_FILE,
     BROKEN_A2},
    {"SignatureLengthBeyondFile", "", a2("patch=-136:\\xff\\xff\\0\\0"), BROKEN_A2, BROKEN_A2},
    {"DependsCount65535OneEntry", "", a2("insert=50:3//refs:65535:x"), BROKEN_FILE, STDIN_BROKEN},
    {"ProvidesCount65535Empty", "", a2("insert=50:19//\\xff\\xff"), BROKEN_FILE, STDIN_BROKEN},
    // Every entry present: an odd but valid list of conflicts with packages
    // that are not installed.
    {"ConflictsCount65535Full", "", a2("conflicts=nothere*65535"), INSTALLS_A2, STDIN_INSTALLS},
    {"BundleMemberListCount65535", MEMBER_M, "raw=18//hdr:sys:1.0+21//image+20//refs:65535:m+@m",
     both("", 1), STDIN_BROKEN},
    // Names.
    {"NameOf16CharactersWithoutNul",
     "",
     pkg("abcdefghijklmnop", "2.0"),
     {0, "installed abcdefghijklmnop-2.0", true},
     STDIN_INSTALLS,
     "",
     "expect-file /flash/bin/a abcdefghijklmnop 2.0"},
    {"ReferenceNameOf16CharactersWithoutNul", "", a2("provides=abcdefghijklmnop"), INSTALLS_A2,
     STDIN_INSTALLS},
    {"NameClimbsOut", "", pkg("../../etc", "2.0"), both(failed("../../etc-2.0")),
     both(failed("../../etc-2.0"))},
    {"NameWithSlash", "", pkg("a/b", "2.0"), both(failed("a/b-2.0")), both(failed("a/b-2.0"))},
    {"NameDotDot", "", pkg("..", "2.0"), both(failed("..-2.0")), both(failed("..-2.0"))},
    {"NameDot", "", pkg(".", "2.0"), both(failed(".-2.0")), both(failed(".-2.0"))},
    {"NameEmpty", "", pkg("", "2.0"), both(failed("-2.0")), both(failed("-2.0"))},
    {"BundleNameClimbsOut", MEMBER_M, bundle("../../etc", "m"), both(failed("../../etc-1.0")),
     both(failed("../../etc-1.0"))},
    {"BundleMemberNameClimbsOut", "package m " + pkg("../../etc", "1.0"), bundle("sys", "m"),
     both(failed("sys-1.0"), 2), both(failed("sys-1.0"), 2)},
    {"BundleMemberNameWithSlash", "package m " + pkg("x/y", "1.0"), bundle("sys", "m"),
     both(failed("sys-1.0"), 2), both(failed("sys-1.0"), 2)},
    // Signature parts around the boundaries of the two forms; 2.0 accepts the
    // legacy form (68 to 131 bytes), 7.5 does not, nor does any version once
    // /ram/SECURE is there; branding always does.
    {"Signature0", "", a2("signature-length=0"), BROKEN_A2, BROKEN_A2},
    {"Signature1", "", a2("signature-length=1"), BROKEN_A2, BROKEN_A2},
    {"Signature66", "", a2("signature-length=66"), BROKEN_A2, BROKEN_A2},
    {"Signature67", "", a2("signature-length=67"), BROKEN_A2, BROKEN_A2},
    {"Signature68", "", a2("signature-length=68"), INSTALLS_A2, STDIN_INSTALLS},
    {"Signature69", "", a2("signature-length=69"), INSTALLS_A2, STDIN_INSTALLS},
    {"Signature131", "", a2("signature-length=131"), INSTALLS_A2, STDIN_INSTALLS},
    {"Signature132", "", a2("signature-length=132"), INSTALLS_A2, STDIN_INSTALLS},
    {"Signature133", "", a2("signature-length=133"), INSTALLS_A2, STDIN_INSTALLS},
    {"Signature65535", "", a2("signature-length=65535"), INSTALLS_A2, STDIN_INSTALLS},
    {"Signature68Garbage", "", a2("signature-garbage=68"), BROKEN_A2, BROKEN_A2},
    {"Signature132Garbage", "", a2("signature-garbage=132"), BROKEN_A2, BROKEN_A2},
    {"Signature65535Garbage", "", a2("signature-garbage=65535"), BROKEN_A2, BROKEN_A2},
    {"LegacySignatureOfNewerVersion", "", pkg("a", "7.5", "signature-length=68"),
     both(failed("a-7.5")), both(failed("a-7.5"))},
    {"LegacySignatureWhenSecure", "file /ram/SECURE", a2("signature-length=68"), BROKEN_A2,
     BROKEN_A2},
    {"LegacySignatureWhenSecureIsALink", "symlink /ram/SECURE /nowhere", a2("signature-length=68"),
     BROKEN_A2, BROKEN_A2},
    {"LegacySignatureOfBranding",
     "",
     pkg("branding", "7.5", "signature-length=68"),
     {0, "installed branding-7.5", true},
     STDIN_INSTALLS,
     "/flash",
     "expect-file /flash/bin/a branding 7.5"},
    // Part order.
    {"TwoHeadersBeforeSignature", EVIL, "raw=1//hdr:a:2.0+@evil", BROKEN_A2, BROKEN_A2},
    {"SecondHeaderAfterSignature", EVIL + "\npackage a2 " + a2(), "raw=@a2+@evil", BROKEN_A2,
     BROKEN_A2},
    {"BundleNestedInBundle",
     MEMBER_M + "\npackage n " + pkg("n", "1.0") + "\npackage inner " + bundle("inner", "n"),
     bundle("sys", "m,inner"), both("", 2), both("", 2)},
    {"BundleHeaderInsideMember", MEMBER_M,
     "raw=18//hdr:sys:1.0+21//image+@m insert=103:18//hdr:inner:1.0", both(failed("sys-1.0"), 2),
     both(failed("sys-1.0"), 2)},

    // File records after a good one: names that climb out of /flash, sizes
    // and name lengths beyond the stream (what was staged before never
    // reaches the flash). Directories, links and devices are never created
    // from a package, so their names do not matter.
    {"RecordClimbsTwoUp", "", withRecord("100644:::../../etc/x:x"), BROKEN_A2, BROKEN_A2},
    {"RecordRootedClimb", "", withRecord("100644:::/../x:x"), BROKEN_A2, BROKEN_A2},
    {"RecordClimbsAfterDescending", "", withRecord("100644:::a/../../x:x"), BROKEN_A2, BROKEN_A2},
    {"RecordClimbsToFlashItself", "", withRecord("100644:::bin/..:x"), BROKEN_A2, BROKEN_A2},
    {"RecordDotDot", "", withRecord("100644:::..:x"), BROKEN_A2, BROKEN_A2},
    {"RecordDot", "", withRecord("100644:::.:x"), BROKEN_A2, BROKEN_A2},
    {"RecordEmptyName", "", withRecord("100644::::x"), BROKEN_A2, BROKEN_A2},
    {"RecordTrailingSlash", "", withRecord("100644:::bin/:x"), BROKEN_A2, BROKEN_A2},
    {"RecordNulInName", "", withRecord("100644:::bin/a\\0/../../../etc/x:x"), BROKEN_A2, BROKEN_A2},
    {"RecordLineFeedInName", "", withRecord("100644:::bin/x\\n../../etc/passwd:x"), BROKEN_A2,
     BROKEN_A2},
    {"RecordSizeBeyondStream", "", withRecord("100644:1048576::bin/big:only this"), BROKEN_A2,
     BROKEN_A2},
    {"RecordSizeAllOnes", "", withRecord("100644:0xFFFFFFFF::bin/big:x"), BROKEN_A2, BROKEN_A2},
    {"RecordNameLengthBeyondStream", "", withRecord("100644::65535:bin/x:"), BROKEN_A2, BROKEN_A2},
    {"RecordSkippedSizeBeyondStream", "", withRecord("40755:0x7FFFFFFF::dir:"), BROKEN_A2,
     BROKEN_A2},
    {"RecordDirectoryClimbsOut", "", withRecord("40755:::../../etc:"), INSTALLS_A2, STDIN_INSTALLS},
    {"RecordLinkToPasswd", "", withRecord("120777:::../../etc/passwd:/etc/shadow"), INSTALLS_A2,
     STDIN_INSTALLS},
    {"RecordDeviceNode", "", withRecord("20644:::/../dev/mem:"), INSTALLS_A2, STDIN_INSTALLS},

    // Planted links, one a row for every place the flash guard keeps: the
    // installed package's directory leads to /etc (the old bin/a there must
    // not go, the new one must not be written there); a link that stays
    // inside /flash keeps working.
    {"FlashBinToEtc", BIN_TO_ETC, a2(), ETC_A2, ETC_A2},
    {"FlashBinToRelativeEtc", "remove /flash/bin\nsymlink /flash/bin ../etc\nfile /etc/a system a",
     a2(), ETC_A2, NONE},
    {"FlashBinToFlashDirectory",
     "dir /flash/real/bin\nremove /flash/bin\nsymlink /flash/bin /flash/real/bin", a2(),
     INSTALLS_A2, NONE, "/flash", "expect-file /flash/real/bin/a a 2.0"},
    // A record directory that leads out of the database is unreadable, so it
    // is uninstalled: the link goes, what it names stays.
    {"RecordDirectoryToEtc",
     RECORD_TO_ETC +
         "\nfile /etc/image system image\nfile /etc/files etc/passwd\\n../../etc/canary",
     "",
     {0, ""},
     NONE,
     "/flash/var/pdb/x /flash/PCKGS_CHANGED",
     "expect-absent /flash/var/pdb/x"},
    {"RecordDirectoryToRoot",
     "symlink /flash/var/pdb/x /",
     "",
     {0, ""},
     NONE,
     "/flash/var/pdb/x /flash/PCKGS_CHANGED",
     "expect-absent /flash/var/pdb/x"},
    {"RecordDirectoryToEtcInstall", RECORD_TO_ETC, pkg("x", "2.0"), ETC_X2, ETC_X2,
     "/flash/var/pdb/x"},
    // The whole database leads to /etc (where the real records now lie):
    // every other entry there looks like a damaged record, but neither their
    // removal nor a new record changes /etc.
    {"DatabaseToEtc", DATABASE_TO_ETC, "", {0, ""}, NONE},
    {"DatabaseToEtcInstall",
     DATABASE_TO_ETC,
     a2(),
     {1, failed("a-2.0", "could not create meta/version: " + LOOP_TEXT)},
     NONE},
    {"DirectoryNamedLikeAPackage",
     "dir /flash/rw/pckg/d.qpk",
     "",
     {0, "ERROR: broken package d.qpk"},
     NONE},
    // The record's image, the log, the change and conversion markers are
    // replaced, never written or removed through a link.
    {"RecordImageToEtc", IMAGE_TO_ETC, a2(), INSTALLS_A2, STDIN_INSTALLS},
    {"StdinImageFileToPasswd",
     "symlink /flash/var/pdb/image /etc/passwd",
     a2(),
     NONE,
     {255, "ERROR: could not open image"}},
    {"PostLogToPasswd", "symlink /flash/postlog /etc/passwd", a2(), INSTALLS_A2, NONE,
     "/flash/bin /flash/lib /flash/var /flash/PCKGS_CHANGED"},
    {"ChangeMarkerToPasswd", "symlink /flash/PCKGS_CHANGED /etc/passwd", a2(), INSTALLS_A2, NONE},
    {"ConvertMarkerToPasswd",
     "symlink /rw/CONVERT /etc/passwd",
     pkg("system", "6.40"),
     {0, "installed system-6.40", true},
     NONE,
     "/flash",
     "expect-file /flash/bin/a system 6.40"},
    // A damaged file list: entries that climb out of /flash are never
    // followed, the others still go.
    {"FilesListClimbsOut",
     "file /flash/var/pdb/a/files "
     "flash/bin/a\\n../../etc/passwd\\nflash/../../etc/canary\\n/../etc/"
     "passwd\\nflash/lib/../../etc/canary\\n..\\n\\nflash\\nflash/\nfile /ram/pdb/a/schedule "
     "uninstall",
     "",
     {0, ""},
     NONE,
     "/flash",
     "expect-absent /flash/bin/a"},
    // A schedule file of a megabyte: the first word counts, however far in.
    {"ScheduleMegabyteOfBlanks",
     "file /ram/pdb/a/schedule \\{1048576:\\s}uninstall\\",
     "",
     {0, ""},
     NONE,
     "/flash",
     "expect-absent /flash/bin/a"},
    {"ScheduleMegabyteWord",
     "file /ram/pdb/a/schedule uninstall\\{1048576:x}\\",
     "",
     {0, ""},
     NONE},
    // A package that inflates far beyond a 1 MiB flash (many files that each
    // fit, or one larger than flash and /ram): nothing is applied, no
    // temporary file is left, the cause is named.
    {"DiskFullManyFiles", "", "name=a version=2.0 zeros=64:65536", DISK_FULL, DISK_FULL, "", "",
     SMALL_DISK},
    {"DiskFullOneHugeFile", "", "name=a version=2.0 zeros=1:8388608", DISK_FULL, DISK_FULL, "", "",
     SMALL_DISK},
};

enum class Via { Flash, Stdin };

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

std::string scenarioText(const Row& r, Via via) {
    const Expect& e = via == Via::Flash ? r.flash : r.stdinRun;
    std::string t = r.pre + BASE + r.plant + "\n";
    if (!r.offer.empty()) t += "package offer " + r.offer + "\n";
    if (via == Via::Flash && !r.offer.empty()) t += "place offer /flash/rw/pckg/a.qpk\n";
    t += via == Via::Stdin ? "run stdin=offer -- -r ROOT -\n" : "run -- -r ROOT\n";
    t += "status " + std::to_string(e.status) + "\n";
    if (!e.line.empty()) t += "stdout-has \"" + e.line + "\"\n";
    if (e.installs)
        t += std::string("stdout-lacks *ERROR*\n") +
             (r.after.empty() ? "expect-file /flash/bin/a a 2.0\n" : "");
    t += r.after + "\nexpect-unchanged /flash/postlog /flash/var/pdb/image " +
         (r.mayChange.empty() && e.installs ? "/flash" : r.mayChange) + "\n";
    return t;
}

class Catalogue : public ::testing::TestWithParam<std::tuple<Row, Via>> {};

TEST_P(Catalogue, Row) {
    const auto& [row, via] = GetParam();
    scenario::Scenario s;
    std::string error;
    const std::string name = std::string(row.name) + (via == Via::Flash ? "/flash" : "/stdin");
    ASSERT_TRUE(scenario::parseScenarioText(name, scenarioText(row, via), s, error)) << error;
    scenario::checkScenario(s);
}

// Every way that each row offers its file.
std::vector<std::tuple<Row, Via>> offers() {
    std::vector<std::tuple<Row, Via>> out;
    for (const Row& row : ROWS) {
        if (row.flash.status >= 0) out.emplace_back(row, Via::Flash);
        if (row.stdinRun.status >= 0) out.emplace_back(row, Via::Stdin);
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Rows, Catalogue, ::testing::ValuesIn(offers()), [](const auto& info) {
    return std::string(std::get<0>(info.param).name) +
           (std::get<1>(info.param) == Via::Flash ? "_Flash" : "_Stdin");
});

// A text part of hundreds of megabytes, as standard input may bring: only
// its first bytes are kept, so the installer's memory stays small. The file
// is written in pieces, so the test process stays small too.
TEST(TextParts, KeepMemoryBounded) {
    TempRoot root;
    for (const char* dir : {"/ram", "/tmp", "/flash/var/pdb"}) root.mkdirs(dir);
    constexpr uint32_t HUGE_TEXT = 192u << 20;
    std::string head, tail, error;
    ASSERT_TRUE(testpkg::build({"raw=1//hdr:a:2.0"}, {}, head, error)) << error;
    ASSERT_TRUE(testpkg::build({"name=a", "version=2.0", "file=bin/a:a"}, {}, tail, error))
        << error;
    head = head.substr(8) + std::string("\x10\x00", 2) +
           std::string(reinterpret_cast<const char*>(&HUGE_TEXT), 4);
    tail = tail.substr(8 + 6 + 36);
    const uint32_t size = uint32_t(head.size() + HUGE_TEXT + tail.size()), magic = PACKAGE_MAGIC;
    {
        std::ofstream out(root.host("/huge.qpk"), std::ios::binary);
        out.write(reinterpret_cast<const char*>(&magic), 4)
                .write(reinterpret_cast<const char*>(&size), 4)
            << head;
        const std::string piece(1 << 20, 'n');
        for (uint32_t done = 0; done < HUGE_TEXT; done += uint32_t(piece.size())) out << piece;
        out << tail;
    }
    RunOptionsForTest options;
    options.stdinData = root.host("/huge.qpk");
    options.stdinFromFile = true;
    RunResult run = runInstaller({"-r", root.path(), "-"}, options);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(
        run.out.rfind("ERROR: can not install a-2.0: it is not made for i386, but for nnn", 0), 0u)
        << run.out;
    EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << run.out;
    EXPECT_LT(run.maxRssKb, 96 * 1024);
}

}  // namespace
