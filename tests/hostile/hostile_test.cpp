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
#include <regex>
#include <sstream>

#include "e2e/scenario.h"
#include "support/packages.h"
#include "support/run.h"
#include "support/temp_root.h"

namespace {

// The root every row starts from, in the form of PLANT below.
const char* const BASE = R"(file /etc/passwd root:x:0:0:root:/root:/bin/sh; file /etc/canary canary;
    file /rw/keep rw; file /ram/keep ram; dir /flash/rw/pckg; package good pkg:a:1.0;
    package base name=base version=1.0 build-time=1000 "exec=bin/base:base\n";
    place good /flash/rw/pckg/a.qpk; place base /flash/rw/pckg/base.qpk; run -- -r ROOT;
    stdout-has "installed base-1.0"; remove /flash/rw/pckg/a.qpk; remove /flash/rw/pckg/base.qpk)";

// NAME | PLANT | OFFER | FROM FLASH | ON STANDARD INPUT | MAY CHANGE | AFTER
// PLANT and AFTER are scenario directives (";" between; a tmpfs is mounted
// before the good installation). OFFER is the package words of the file
// offered: pkg:NAME:VERSION is a package of bin/a and lib/liba,
// bundle:NAME:MEMBERS a bundle with an image, rec:RECORD a-2.0 whose files
// part holds bin/a and then the raw RECORD. An expectation is "-" (not
// offered this way), "same" (as from flash), or a status, "+" when it
// installs (no error line; /flash may change; bin/a holds "a 2.0" unless
// AFTER says otherwise), and a line of the output; "!N-V: why" stands for
// "ERROR: installation of N-V failed: why" (": broken package" when left
// out). A line that starts with blanks goes on with the row above, joined
// as it stands.
const char* const ROWS = R"(
// The file header.
FileSizeBeyondFile | | pkg:a:2.0 size-field=+1000 | 0 ERROR: broken package a.qpk | 0+
FileSizeAllOnes | | pkg:a:2.0 size-field=0xFFFFFFFF | 0 ERROR: broken package a.qpk | 0+
FileSizeWrapsToZero | | pkg:a:2.0 size-field=0xFFFFFFF8 | 0 ERROR: broken package a.qpk | 0+
FileSizeZero | | pkg:a:2.0 size-field=0 | 0 ERROR: broken package a.qpk | 0+
EmptyFile | | pkg:a:2.0 keep=0 | 0 ERROR: broken package a.qpk | 1
ShorterThanFileHeader | | pkg:a:2.0 keep=5 | 0 ERROR: broken package a.qpk | 1
UnknownMagic | | pkg:a:2.0 magic=0x04030201 | 0 ERROR: broken package a.qpk | 1
NothingAfterFileHeader | | raw= | 0 ERROR: broken package a.qpk | 1
// Part lengths and counts.
HeaderPartLongerThanFile | | raw=1/0xFFFFFFFF/hdr:a:2.0 | 1 !a-2.0 | same
HeaderPartShorterThanRecord | | raw=1//hdr:a:2.0:20 | 0 ERROR: broken package a.qpk | 1
FilesPartLongerThanFile | | pkg:a:2.0 signature=no files-length=0xFFFFFFF0 | 1 !a-2.0 | same
NoteLengthNear4GiB | | pkg:a:2.0 insert=50:23/0xFFFFFFF0/note | 0 ERROR: broken package a.qpk
    | 1 !a-2.0
Text24LengthNear4GiBCutShort | | raw=1//hdr:a:2.0+24/0xFFFFFFFF/t | 0 ERROR: broken package a.qpk
    | 1 !a-2.0
SignatureLengthBeyondFile | | pkg:a:2.0 patch=-136:\xff\xff\0\0 | 1 !a-2.0 | same
DependsCount65535OneEntry | | pkg:a:2.0 insert=50:3//refs:65535:x | 0 ERROR: broken package a.qpk
    | 1
ProvidesCount65535Empty | | pkg:a:2.0 insert=50:19//\xff\xff | 0 ERROR: broken package a.qpk | 1
// Every entry present: an odd but valid list of conflicts with packages that
// are not installed.
ConflictsCount65535Full | | pkg:a:2.0 conflicts=nothere*65535 | 0+ installed a-2.0 | 0+
BundleMemberListCount65535 | package m pkg:m:1.0 | raw=18//hdr:sys:1.0+21//image+20//refs:65535:m+@m
    | 1 | 1
// Names.
NameOf16CharactersWithoutNul | | pkg:abcdefghijklmnop:2.0 | 0+ installed abcdefghijklmnop-2.0 | 0+
    | | expect-file /flash/bin/a abcdefghijklmnop 2.0
ReferenceNameOf16CharactersWithoutNul | | pkg:a:2.0 provides=abcdefghijklmnop | 0+ installed a-2.0
    | 0+
NameClimbsOut | | pkg:../../etc:2.0 | 1 !../../etc-2.0 | same
NameWithSlash | | pkg:a/b:2.0 | 1 !a/b-2.0 | same
NameDotDot | | pkg:..:2.0 | 1 !..-2.0 | same
NameDot | | pkg:.:2.0 | 1 !.-2.0 | same
NameEmpty | | pkg::2.0 | 1 !-2.0 | same
BundleNameClimbsOut | package m pkg:m:1.0 | bundle:../../etc:m | 1 !../../etc-1.0 | same
BundleMemberNameClimbsOut | package m pkg:../../etc:1.0 | bundle:sys:m | 2 !sys-1.0 | same
BundleMemberNameWithSlash | package m pkg:x/y:1.0 | bundle:sys:m | 2 !sys-1.0 | same
// Signature parts around the boundaries of the two forms; 2.0 accepts the
// legacy form (68 to 131 bytes), 7.5 does not, nor does any version once
// /ram/SECURE is there; branding always does.
Signature0 | | pkg:a:2.0 signature-length=0 | 1 !a-2.0 | same
Signature1 | | pkg:a:2.0 signature-length=1 | 1 !a-2.0 | same
Signature66 | | pkg:a:2.0 signature-length=66 | 1 !a-2.0 | same
Signature67 | | pkg:a:2.0 signature-length=67 | 1 !a-2.0 | same
Signature68 | | pkg:a:2.0 signature-length=68 | 0+ installed a-2.0 | 0+
Signature69 | | pkg:a:2.0 signature-length=69 | 0+ installed a-2.0 | 0+
Signature131 | | pkg:a:2.0 signature-length=131 | 0+ installed a-2.0 | 0+
Signature132 | | pkg:a:2.0 signature-length=132 | 0+ installed a-2.0 | 0+
Signature133 | | pkg:a:2.0 signature-length=133 | 0+ installed a-2.0 | 0+
Signature65535 | | pkg:a:2.0 signature-length=65535 | 0+ installed a-2.0 | 0+
Signature68Garbage | | pkg:a:2.0 signature-garbage=68 | 1 !a-2.0 | same
Signature132Garbage | | pkg:a:2.0 signature-garbage=132 | 1 !a-2.0 | same
Signature65535Garbage | | pkg:a:2.0 signature-garbage=65535 | 1 !a-2.0 | same
LegacySignatureOfNewerVersion | | pkg:a:7.5 signature-length=68 | 1 !a-7.5 | same
LegacySignatureWhenSecure | file /ram/SECURE | pkg:a:2.0 signature-length=68 | 1 !a-2.0 | same
LegacySignatureWhenSecureIsALink | symlink /ram/SECURE /nowhere | pkg:a:2.0 signature-length=68
    | 1 !a-2.0 | same
LegacySignatureOfBranding | | pkg:branding:7.5 signature-length=68 | 0+ installed branding-7.5
    | 0+ | | expect-file /flash/bin/a branding 7.5
// Part order.
TwoHeadersBeforeSignature | package evil pkg:evil:9.0 | raw=1//hdr:a:2.0+@evil | 1 !a-2.0 | same
SecondHeaderAfterSignature | package evil pkg:evil:9.0; package a2 pkg:a:2.0 | raw=@a2+@evil
    | 1 !a-2.0 | same
BundleNestedInBundle | package m pkg:m:1.0; package n pkg:n:1.0; package inner bundle:inner:n
    | bundle:sys:m,inner | 2 | 2
BundleHeaderInsideMember | package m pkg:m:1.0
    | raw=18//hdr:sys:1.0+21//image+@m insert=103:18//hdr:inner:1.0 | 2 !sys-1.0 | same
// File records after a good one: names that climb out of /flash, sizes and
// name lengths beyond the stream (what was staged before never reaches the
// flash). Directories, links and devices are never created from a package,
// so their names do not matter.
RecordClimbsTwoUp | | rec:100644:::../../etc/x:x | 1 !a-2.0 | same
RecordRootedClimb | | rec:100644:::/../x:x | 1 !a-2.0 | same
RecordClimbsAfterDescending | | rec:100644:::a/../../x:x | 1 !a-2.0 | same
RecordClimbsToFlashItself | | rec:100644:::bin/..:x | 1 !a-2.0 | same
RecordDotDot | | rec:100644:::..:x | 1 !a-2.0 | same
RecordDot | | rec:100644:::.:x | 1 !a-2.0 | same
RecordEmptyName | | rec:100644::::x | 1 !a-2.0 | same
RecordTrailingSlash | | rec:100644:::bin/:x | 1 !a-2.0 | same
RecordNulInName | | rec:100644:::bin/a\0/../../../etc/x:x | 1 !a-2.0 | same
RecordLineFeedInName | | rec:100644:::bin/x\n../../etc/passwd:x | 1 !a-2.0 | same
RecordSizeBeyondStream | | rec:100644:1048576::bin/big:only this | 1 !a-2.0 | same
RecordSizeAllOnes | | rec:100644:0xFFFFFFFF::bin/big:x | 1 !a-2.0 | same
RecordNameLengthBeyondStream | | rec:100644::65535:bin/x: | 1 !a-2.0 | same
RecordSkippedSizeBeyondStream | | rec:40755:0x7FFFFFFF::dir: | 1 !a-2.0 | same
RecordDirectoryClimbsOut | | rec:40755:::../../etc: | 0+ installed a-2.0 | 0+
RecordLinkToPasswd | | rec:120777:::../../etc/passwd:/etc/shadow | 0+ installed a-2.0 | 0+
RecordDeviceNode | | rec:20644:::/../dev/mem: | 0+ installed a-2.0 | 0+
// Planted links, one a row for every place the flash guard keeps: the
// installed package's directory leads to /etc (the old bin/a there must not
// go, the new one must not be written there); a link that stays inside
// /flash keeps working.
FlashBinToEtc | remove /flash/bin; symlink /flash/bin /etc; file /etc/a system a | pkg:a:2.0
    | 1 !a-2.0: could not create bin/a: Too many levels of symbolic links | same
FlashBinToRelativeEtc | remove /flash/bin; symlink /flash/bin ../etc; file /etc/a system a
    | pkg:a:2.0 | 1 !a-2.0: could not create bin/a: Too many levels of symbolic links | -
FlashBinToFlashDirectory | dir /flash/real/bin; remove /flash/bin;
    symlink /flash/bin /flash/real/bin | pkg:a:2.0 | 0+ installed a-2.0 | - | | expect-file /flash/real/bin/a a 2.0
// A record directory that leads out of the database is unreadable, so it is
// uninstalled: the link goes, what it names stays.
RecordDirectoryToEtc | symlink /flash/var/pdb/x /etc; file /etc/image system image;
    file /etc/files etc/passwd\n../../etc/canary | | 0 | - | /flash/var/pdb/x /flash/PCKGS_CHANGED
    | expect-absent /flash/var/pdb/x
RecordDirectoryToRoot | symlink /flash/var/pdb/x / | | 0 | - | /flash/var/pdb/x /flash/PCKGS_CHANGED
    | expect-absent /flash/var/pdb/x
RecordDirectoryToEtcInstall | symlink /flash/var/pdb/x /etc | pkg:x:2.0
    | 1 !x-2.0: could not create meta/version: Too many levels of symbolic links | same
    | /flash/var/pdb/x
// The whole database leads to /etc (where the real records now lie): every
// other entry there looks like a damaged record, but neither their removal
// nor a new record changes /etc.
DatabaseToEtc | move /flash/var/pdb/a /etc/a; move /flash/var/pdb/base /etc/base;
    remove /flash/var/pdb; symlink /flash/var/pdb /etc; file /etc/ssl/cert cert | | 0 | -
DatabaseToEtcInstall | move /flash/var/pdb/a /etc/a; move /flash/var/pdb/base /etc/base;
    remove /flash/var/pdb; symlink /flash/var/pdb /etc; file /etc/ssl/cert cert | pkg:a:2.0
    | 1 !a-2.0: could not create meta/version: Too many levels of symbolic links | -
DirectoryNamedLikeAPackage | dir /flash/rw/pckg/d.qpk | | 0 ERROR: broken package d.qpk | -
// The record's image, the log, the change and conversion markers are
// replaced, never written or removed through a link.
RecordImageToEtc | remove /flash/var/pdb/a/image; symlink /flash/var/pdb/a/image /etc/canary
    | pkg:a:2.0 | 0+ installed a-2.0 | 0+
StdinImageFileToPasswd | symlink /flash/var/pdb/image /etc/passwd | pkg:a:2.0 | -
    | 255 ERROR: could not open image
PostLogToPasswd | symlink /flash/postlog /etc/passwd | pkg:a:2.0 | 0+ installed a-2.0 | -
    | /flash/bin /flash/lib /flash/var /flash/PCKGS_CHANGED
ChangeMarkerToPasswd | symlink /flash/PCKGS_CHANGED /etc/passwd | pkg:a:2.0 | 0+ installed a-2.0 | -
ConvertMarkerToPasswd | symlink /rw/CONVERT /etc/passwd | pkg:system:6.40 | 0+ installed system-6.40
    | - | | expect-file /flash/bin/a system 6.40
// A damaged file list: entries that climb out of /flash are never followed,
// the others still go.
FilesListClimbsOut | file /flash/var/pdb/a/files flash/bin/a\n../../etc/passwd\n
    flash/../../etc/canary\n/../etc/passwd\nflash/lib/../../etc/canary\n..\n\nflash\nflash/;
    file /ram/pdb/a/schedule uninstall | | 0 | - | /flash | expect-absent /flash/bin/a
// A schedule file of a megabyte: the first word counts, however far in.
ScheduleMegabyteOfBlanks | file /ram/pdb/a/schedule \{1048576:\s}uninstall\ | | 0 | - | /flash
    | expect-absent /flash/bin/a
ScheduleMegabyteWord | file /ram/pdb/a/schedule uninstall\{1048576:x}\ | | 0 | -
// A package that inflates far beyond a 1 MiB flash (many files that each
// fit, or one larger than flash and /ram): nothing is applied, no temporary
// file is left, the cause is named.
DiskFullManyFiles | tmpfs /flash 1m; tmpfs /ram 256k | name=a version=2.0 zeros=64:65536
    | 1 !a-2.0: disk is too small | same
DiskFullOneHugeFile | tmpfs /flash 1m; tmpfs /ram 256k | name=a version=2.0 zeros=1:8388608
    | 1 !a-2.0: disk is too small | same
)";

struct Case {
    std::string name, text;
    friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

// A cell with its shorthands written out, the directives one a line.
std::string expand(std::string cell) {
    const std::pair<const char*, const char*> shorthands[] = {
        {"\n +", ""},
        {R"(^rec:(.*))", R"(pkg:a:2.0 "record=100644:::bin/a:a 2.0\n" "record=$1")"},
        {R"(pkg:([^:]*):([^\s;]+))",
         R"(name=$1 version=$2 build-time=1000 "exec=bin/a:$1 $2\n" "file=lib/liba:lib $2\n")"},
        {R"(bundle:([^:]*):([^\s;]+))",
         "name=$1 version=1.0 build-time=1 keep-image=image bundle-of=$2"},
        {"; *", "\n"}};
    for (const auto& [from, to] : shorthands) cell = std::regex_replace(cell, std::regex(from), to);
    return cell;
}

// The directives that check one way of offering: `cell` is the expectation,
// `after` and `mayChange` the row's own.
std::string checks(const std::string& cell, const std::string& after, std::string mayChange) {
    size_t end = 0;
    const int status = std::stoi(cell, &end);
    const bool installs = cell[end] == '+';
    std::string line = cell.substr(std::min(cell.size(), end + installs + 1));
    if (line.rfind('!', 0) == 0) {
        const size_t colon = line.find(": ");
        line = "ERROR: installation of " + line.substr(1, colon - 1) + " failed: " +
               (colon == std::string::npos ? "broken package" : line.substr(colon + 2));
    }
    std::string t = "status " + std::to_string(status) + "\n";
    if (!line.empty()) t += "stdout-has \"" + line + "\"\n";
    if (installs) t += "stdout-lacks *ERROR*\n";
    if (installs && after.empty()) t += "expect-file /flash/bin/a a 2.0\n";
    if (installs && mayChange.empty()) mayChange = "/flash";
    return t + after + "\nexpect-unchanged /flash/postlog /flash/var/pdb/image " + mayChange + "\n";
}

// The scenarios of every row, each way it offers its file.
std::vector<Case> cases() {
    std::vector<Case> out;
    std::istringstream rows(std::regex_replace(ROWS, std::regex("\n +"), ""));
    for (std::string row; std::getline(rows, row);) {
        if (row.empty() || row.rfind("//", 0) == 0) continue;
        const std::regex bar(" *\\| *");
        std::vector<std::string> c(std::sregex_token_iterator(row.begin(), row.end(), bar, -1), {});
        c.resize(7);
        if (c[4] == "same") c[4] = c[3];
        std::string mounts, setup = expand(BASE) + "\n";
        std::istringstream plant(expand(c[1]));
        for (std::string d; std::getline(plant, d);)
            (d.rfind("tmpfs", 0) ? setup : mounts) += d + "\n";
        if (!c[2].empty()) setup += "package offer " + expand(c[2]) + "\n";
        const std::string place = c[2].empty() ? "" : "place offer /flash/rw/pckg/a.qpk\n";
        if (c[3] != "-")
            out.push_back({c[0] + "_Flash", mounts + setup + place + "run -- -r ROOT\n" +
                                                checks(c[3], expand(c[6]), c[5])});
        if (c[4] != "-")
            out.push_back({c[0] + "_Stdin", mounts + setup + "run stdin=offer -- -r ROOT -\n" +
                                                checks(c[4], expand(c[6]), c[5])});
    }
    return out;
}

class Catalogue : public ::testing::TestWithParam<Case> {};

TEST_P(Catalogue, Row) {
    scenario::Scenario s;
    std::string error;
    ASSERT_TRUE(scenario::parseScenarioText(GetParam().name, GetParam().text, s, error)) << error;
    scenario::checkScenario(s);
}

INSTANTIATE_TEST_SUITE_P(Rows, Catalogue, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.name; });

// A text part of hundreds of megabytes, as standard input may bring: only
// its first bytes are kept, so the installer's memory stays small. The file
// is written in pieces, so the test process stays small too.
TEST(TextParts, KeepMemoryBounded) {
    TempRoot root;
    for (const char* dir : {"/ram", "/tmp", "/flash/var/pdb"}) root.mkdirs(dir);
    constexpr uint32_t HUGE_TEXT = 192u << 20;
    std::string head, tail, error;
    ASSERT_TRUE(testpkg::build({"raw=1//hdr:a:2.0"}, {}, head, error) &&
                testpkg::build({"name=a", "version=2.0", "file=bin/a:a"}, {}, tail, error))
        << error;
    const auto le32 = [](uint32_t n) { return std::string(reinterpret_cast<const char*>(&n), 4); };
    tail = tail.substr(8 + 6 + 36);  // its file header and header part
    {
        std::ofstream out(root.host("/huge.qpk"), std::ios::binary);
        out << head.substr(0, 4) << le32(uint32_t(head.size() - 2 + HUGE_TEXT + tail.size()))
            << head.substr(8) << std::string("\x10\x00", 2) << le32(HUGE_TEXT);
        const std::string piece(1 << 20, 'n');
        for (uint32_t done = 0; done < HUGE_TEXT; done += uint32_t(piece.size())) out << piece;
        out << tail;
    }
    RunOptionsForTest options;
    options.stdinData = root.host("/huge.qpk");
    options.stdinFromFile = true;
    RunResult run = runProgram(INSTALLER_BINARY, {"-r", root.path(), "-"}, options);
    EXPECT_EQ(run.status, 1);
    // One line, the architecture cut short.
    EXPECT_EQ(
        run.out.rfind("ERROR: can not install a-2.0: it is not made for i386, but for nnn", 0), 0u);
    EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << run.out;
    EXPECT_LT(run.maxRssKb, 96 * 1024);
}

}  // namespace
