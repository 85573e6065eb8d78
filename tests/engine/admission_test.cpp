#include "engine/admission.h"

#include <gtest/gtest.h>

#include "engine_records.h"
#include "support/temp_root.h"

using namespace enginetest;

namespace {

struct Case {
    std::vector<const char*> known;
    const char* candidate;
    uint32_t allowance;
    uint32_t expected;
    const char* message;  // the one line printed, or ""
    bool flagged = false;
};

void run(const std::vector<Case>& cases, const char* minVersion = nullptr) {
    for (const Case& c : cases) {
        PlatformGuard platform;
        platform.flagged(c.flagged);
        platform.minVersion(minVersion);
        CapturedOutput output;
        Installer& installer = Installer::instance();
        installer.arch = "powerpc";
        addInstalled(installer, c.known);
        EXPECT_EQ(checkAdmission(installer, *pkg(c.candidate), c.allowance), c.expected)
            << c.candidate;
        std::vector<std::string> expected;
        if (*c.message) expected.push_back(c.message);
        EXPECT_EQ(installer.messages, expected) << c.candidate;
    }
}

constexpr uint32_t UNMET_CONFLICT = ADMIT_UNMET | ADMIT_CONFLICT;

// Tables: known packages, candidate, allowance, expected mask, the message.
// clang-format off
TEST(Admission, SameNameAlreadyInstalled) {
    run({
        {{"foo 1.0 @100"}, "foo 1.0 @100", 0, ADMIT_SAME,
         "WARNING: omitting package foo-1.0: it is already installed"},
        {{"foo 1.0 @100"}, "foo 1.0 @100", ADMIT_SAME, ADMIT_SAME, ""},
        {{"foo 2.0"}, "foo 1.0", ADMIT_SAME, ADMIT_OLDER,
         "WARNING: omitting package foo-1.0: newer package foo-2.0 is already installed"},
        {{"foo 2.0"}, "foo 1.0", ADMIT_OLDER, ADMIT_OLDER, ""},
        {{"foo 0.9"}, "foo 1.0", 0, ADMIT_NEWER, ""},
        {{"foo 1.0 @99"}, "foo 1.0 @100", 0, ADMIT_NEWER, ""},
        {{"foo 2.0 off"}, "foo 1.0", ADMIT_SAME, ADMIT_OLDER,
         "WARNING: omitting package foo-1.0: newer package foo-2.0 is already installed"},
        {{"foo 0.5", "foo 2.0"}, "foo 1.0", 0, ADMIT_NEWER, ""},  // the first record decides
        // "branding" is never compared, not even in flagged state.
        {{"branding 2.0 @900"}, "branding 1.0 @1", 0, 0, "", true},
    });
}

TEST(Admission, FlaggedStateRefusesOlderBuilds) {
    run({
        {{"foo 1.0 @200"}, "foo 2.0 @100 dep=missing", ADMIT_ALL, UNMET_CONFLICT | ADMIT_NEWER,
         "WARNING: cannot install older foo-2.0: router in flagged state", true},
        {{"foo 1.0 @200"}, "foo 1.0 @100 dep=missing", 0, UNMET_CONFLICT | ADMIT_OLDER,
         "WARNING: cannot install older foo-1.0: router in flagged state", true},
        {{"foo 1.0 @200"}, "foo 1.0 @200", 0, ADMIT_SAME,
         "WARNING: omitting package foo-1.0: it is already installed", true},
        {{"foo @200"}, "foo @100", ADMIT_OLDER, ADMIT_OLDER, "", false},
    });
}

TEST(Admission, MinimumSystemVersion) {
    const char* tooOld = "ERROR: omitting package system-3.21: min Velmora version is 3.22";
    run({
        {{}, "system 3.21", 0, ADMIT_UNMET, tooOld},
        {{}, "velmora-extra 3.21", 0, ADMIT_UNMET,
         "ERROR: omitting package velmora-extra-3.21: min Velmora version is 3.22"},
        {{}, "system 3.22", 0, 0, ""},
        {{}, "velmora 3.21", ADMIT_UNMET, ADMIT_UNMET, ""},
        {{}, "myvelmora 3.21", 0, 0, ""},
        {{}, "systems 3.21", 0, 0, ""},
        // Too old and the wrong architecture: one bit, one message.
        {{}, "system 3.21 arch=x86", 0, ADMIT_UNMET, tooOld},
    }, "0x03166600");
    run({{{}, "system 3.21", 0, 0, ""}});  // no minimum
}

TEST(Admission, ArchitectureDependenciesAndConflicts) {
    const char* conflict = "ERROR: can not install foo-1.0: it conflicts with bar-1.0";
    run({
        {{}, "foo arch=mipsbe", 0, ADMIT_UNMET,
         "ERROR: can not install foo-1.0: it is not made for powerpc, but for mipsbe"},
        {{}, "foo", 0, 0, ""},  // no architecture at all
        {{}, "foo arch=powerpc", 0, 0, ""},
        {{}, "foo dep=bar:2.0,baz", 0, ADMIT_UNMET,
         "ERROR: can not install foo-1.0: bar-2.0 is not installed, but is required"},
        {{"bar 2.0"}, "foo dep=bar:2.0,baz", 0, ADMIT_UNMET,
         "ERROR: can not install foo-1.0: baz is not installed, but is required"},
        {{"p prov=bar"}, "foo dep=bar", 0, 0, ""},
        {{"bar off"}, "foo dep=bar", 0, ADMIT_UNMET,
         "ERROR: can not install foo-1.0: bar is not installed, but is required"},
        {{"bar conf=foo"}, "foo", 0, ADMIT_CONFLICT, conflict},
        {{"bar conf=foo"}, "foo", ADMIT_CONFLICT, ADMIT_CONFLICT, ""},
        {{"bar off conf=foo"}, "foo", 0, 0, ""},
        // Every objection is counted; the first one not allowed is told.
        {{"foo 2.0", "bar conf=foo"}, "foo dep=x arch=arm", 0, ADMIT_OLDER | UNMET_CONFLICT,
         "WARNING: omitting package foo-1.0: newer package foo-2.0 is already installed"},
        {{"foo 2.0", "bar conf=foo"}, "foo dep=x arch=arm", ADMIT_OLDER | ADMIT_UNMET,
         ADMIT_OLDER | UNMET_CONFLICT, conflict},
    });
}
// clang-format on

}  // namespace
