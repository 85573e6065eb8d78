// Hostile roots: links planted in the flash that lead to the system's own
// files, database records that name files outside /flash, an oversized
// schedule file. Whatever the installer does, it must not write or delete
// anything outside /flash through them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "hostile/catalogue.h"

namespace hostile {
namespace {

namespace stdfs = std::filesystem;

struct Planted {
    const char* name;
    void (*plant)(const TempRoot& root);
    // The file offered (nullptr: a normal pass with nothing to install).
    std::string (*offer)();
    Via via;
    Expect expect;
    // Paths inside /flash (with what lies below them) that may change.
    std::set<std::string> mayChange;
    // A path inside the root that must be gone afterwards, if any.
    const char* gone = nullptr;
};

const std::string ELOOP_TEXT = "Too many levels of symbolic links";

void PrintTo(const Planted& p, std::ostream* os) {
    *os << p.name;
}

std::string a2() {
    return build(recipe());
}

std::string x2() {
    return build(recipe("x", "2.0"));
}

void replaceWithLink(const TempRoot& root, const std::string& inside, const std::string& text) {
    std::error_code ec;
    stdfs::remove_all(root.host(inside), ec);
    root.symlink(text, inside);
}

// The records move to `dir` and the database becomes a link to it.
void moveDatabaseTo(const TempRoot& root, const std::string& dir) {
    std::error_code ec;
    for (const char* name : {"a", "base"})
        stdfs::rename(root.host("/flash/var/pdb/") + name, root.host(dir + "/" + name), ec);
    replaceWithLink(root, "/flash/var/pdb", dir);
}

// The installed package's bin/ as a link to `target`, a system file there.
constexpr char ETC[] = "/etc";
constexpr char RELATIVE_ETC[] = "../etc";
template <const char* target>
void binTo(const TempRoot& r) {
    replaceWithLink(r, "/flash/bin", target);
    r.write("/etc/a", "system a\n");
}

const Planted CASES[] = {
    // The installed package's directory now leads to /etc: the old bin/a
    // there must not be removed, the new one must not be written there.
    {"FlashBinToEtcFromFlash",
     binTo<ETC>,
     a2,
     Via::Flash,
     {1, "ERROR: installation of a-2.0 failed: could not create bin/a: " + ELOOP_TEXT},
     {}},
    {"FlashBinToEtcFromStdin",
     binTo<ETC>,
     a2,
     Via::Stdin,
     {1, "ERROR: installation of a-2.0 failed: could not create bin/a: " + ELOOP_TEXT},
     {}},
    {"FlashBinToRelativeEtc",
     binTo<RELATIVE_ETC>,
     a2,
     Via::Flash,
     {1, "ERROR: installation of a-2.0 failed: could not create bin/a: " + ELOOP_TEXT},
     {}},
    // A link that stays inside /flash keeps working.
    {"FlashBinToFlashDirectory",
     [](const TempRoot& r) {
         r.mkdirs("/flash/real/bin");
         replaceWithLink(r, "/flash/bin", "/flash/real/bin");
     },
     a2,
     Via::Flash,
     {0, INSTALLED_A2, true},
     {"/flash"}},

    // A record directory that is a link out of the database: the record is
    // unreadable, so it is uninstalled; the link goes, what it names stays.
    {"RecordDirectoryToEtc",
     [](const TempRoot& r) {
         replaceWithLink(r, "/flash/var/pdb/x", "/etc");
         r.write("/etc/image", "system image\n");
         r.write("/etc/files", "etc/passwd\n../../etc/canary\n");
     },
     nullptr,
     Via::Flash,
     {0, ""},
     {"/flash/var/pdb/x", "/flash/PCKGS_CHANGED"},
     "/flash/var/pdb/x"},
    {"RecordDirectoryToRoot",
     [](const TempRoot& r) { replaceWithLink(r, "/flash/var/pdb/x", "/"); },
     nullptr,
     Via::Flash,
     {0, ""},
     {"/flash/var/pdb/x", "/flash/PCKGS_CHANGED"},
     "/flash/var/pdb/x"},
    {"RecordDirectoryToEtcInstall",
     [](const TempRoot& r) { replaceWithLink(r, "/flash/var/pdb/x", "/etc"); },
     x2,
     Via::Flash,
     {1, "ERROR: installation of x-2.0 failed: could not create meta/version: " + ELOOP_TEXT},
     {"/flash/var/pdb/x"}},
    {"RecordDirectoryToEtcInstallFromStdin",
     [](const TempRoot& r) { replaceWithLink(r, "/flash/var/pdb/x", "/etc"); },
     x2,
     Via::Stdin,
     {1, "ERROR: installation of x-2.0 failed: could not create meta/version: " + ELOOP_TEXT},
     {"/flash/var/pdb/x"}},
    // The whole database leads to /etc (where the real records now lie):
    // every other entry there looks like a damaged record, but neither their
    // removal nor a new record changes /etc.
    {"DatabaseToEtc",
     [](const TempRoot& r) {
         moveDatabaseTo(r, "/etc");
         r.write("/etc/ssl/cert", "cert\n");
     },
     nullptr,
     Via::Flash,
     {0, ""},
     {}},
    {"DatabaseToEtcInstall",
     [](const TempRoot& r) {
         moveDatabaseTo(r, "/etc");
         r.write("/etc/ssl/cert", "cert\n");
     },
     a2,
     Via::Flash,
     {1, "ERROR: installation of a-2.0 failed: could not create meta/version: " + ELOOP_TEXT},
     {}},
    // A directory where a package file is expected.
    {"DirectoryNamedLikeAPackage",
     [](const TempRoot& r) { r.mkdirs("/flash/rw/pckg/d.qpk"); },
     nullptr,
     Via::Flash,
     {0, "ERROR: broken package d.qpk"},
     {}},
    // The record's image is a link to a system file: replacing the package
    // removes the link, never the file.
    {"RecordImageToEtc",
     [](const TempRoot& r) { replaceWithLink(r, "/flash/var/pdb/a/image", "/etc/canary"); },
     a2,
     Via::Flash,
     {0, INSTALLED_A2, true},
     {"/flash"}},
    {"RecordImageToEtcFromStdin",
     [](const TempRoot& r) { replaceWithLink(r, "/flash/var/pdb/a/image", "/etc/canary"); },
     a2,
     Via::Stdin,
     {0, "", true},
     {"/flash"}},
    // The scratch file of a standard-input install is a link: nothing is
    // written through it.
    {"StdinImageFileToPasswd",
     [](const TempRoot& r) { replaceWithLink(r, "/flash/var/pdb/image", "/etc/passwd"); },
     a2,
     Via::Stdin,
     {255, "ERROR: could not open image"},
     {}},
    // The log and the change marker are replaced, never written through.
    {"PostLogToPasswd",
     [](const TempRoot& r) { replaceWithLink(r, "/flash/postlog", "/etc/passwd"); },
     a2,
     Via::Flash,
     {0, INSTALLED_A2, true},
     {"/flash/bin", "/flash/lib", "/flash/var", "/flash/PCKGS_CHANGED"}},
    {"ChangeMarkerToPasswd",
     [](const TempRoot& r) { replaceWithLink(r, "/flash/PCKGS_CHANGED", "/etc/passwd"); },
     a2,
     Via::Flash,
     {0, INSTALLED_A2, true},
     {"/flash"}},

    // Uninstalling prints nothing; what matters is what goes and what stays.
    // The conversion marker of an old system package is made where it is
    // named, never through a link.
    {"ConvertMarkerToPasswd",
     [](const TempRoot& r) { replaceWithLink(r, "/rw/CONVERT", "/etc/passwd"); },
     [] { return build(recipe("system", "6.40")); },
     Via::Flash,
     {0, "installed system-6.40", true},
     {"/flash"}},
    // A damaged "files" list: entries that climb out of /flash are never
    // followed, the others still go.
    {"FilesListClimbsOut",
     [](const TempRoot& r) {
         r.write("/flash/var/pdb/a/files",
                 "flash/bin/a\n../../etc/passwd\nflash/../../etc/canary\n/../etc/passwd\n"
                 "flash/lib/../../etc/canary\n..\n\nflash\nflash/\n");
         r.write("/ram/pdb/a/schedule", "uninstall\n");
     },
     nullptr,
     Via::Flash,
     {0, ""},
     {"/flash"},
     "/flash/bin/a"},
    // A schedule file of a megabyte: the first word counts, however far in.
    {"ScheduleMegabyteOfBlanks",
     [](const TempRoot& r) {
         r.write("/ram/pdb/a/schedule", std::string(1 << 20, ' ') + "uninstall");
     },
     nullptr,
     Via::Flash,
     {0, ""},
     {"/flash"},
     "/flash/bin/a"},
    {"ScheduleMegabyteWord",
     [](const TempRoot& r) {
         r.write("/ram/pdb/a/schedule", "uninstall" + std::string(1 << 20, 'x'));
     },
     nullptr,
     Via::Flash,
     {0, ""},
     {}},
};

class Roots : public ::testing::TestWithParam<Planted> {};

void runPlanted(const Planted& p, User user) {
    SCOPED_TRACE(std::string(p.name) + " as " + name(user));
    Router router;
    router.installGood();
    p.plant(router.root());
    const std::string bytes = p.offer ? p.offer() : std::string();
    if (p.offer && p.via == Via::Flash) router.root().write("/flash/rw/pckg/a.qpk", bytes);
    Snapshot before = router.snapshot();
    Outcome run = p.via == Via::Stdin ? router.run({"-r", "ROOT", "-"}, user, bytes)
                                      : router.run({"-r", "ROOT"}, user);
    std::string shown = showLines(run.out);
    EXPECT_EQ(run.status, p.expect.status) << shown;
    if (!p.expect.line.empty()) {
        EXPECT_TRUE(hasLine(run.out, p.expect.line))
            << "expected the line \"" << p.expect.line << "\" in:\n"
            << shown;
    }
    if (p.expect.installs) {
        EXPECT_EQ(run.out.find("ERROR"), std::string::npos) << shown;
    }
    EXPECT_EQ(run.err, "");
    std::set<std::string> allowed = p.mayChange;
    allowed.insert({"/flash/postlog", "/flash/var/pdb/image"});
    EXPECT_EQ(differences(before, router.snapshot(), allowed), "");
    if (p.gone) {
        EXPECT_FALSE(router.root().exists(p.gone)) << p.gone;
    }
}

TEST_P(Roots, AsSelf) {
    runPlanted(GetParam(), User::Self);
}
TEST_P(Roots, AsNobody) {
    if (::geteuid() != 0) GTEST_SKIP() << "running as nobody needs root";
    runPlanted(GetParam(), User::Nobody);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, Roots, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace hostile
