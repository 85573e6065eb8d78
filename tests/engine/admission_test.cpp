#include "engine/admission.h"

#include <gtest/gtest.h>

#include "engine_records.h"
#include "support/temp_root.h"

using namespace enginetest;

namespace {

struct Known {
    Rec rec;
    bool disabled = false;
};

struct AdmissionCase {
    const char* what;
    std::vector<Known> known;
    Rec candidate;
    uint32_t allowance;
    uint32_t expected;
    std::vector<std::string> messages;
    bool flagged = false;
    const char* minVersion = nullptr;
};

void run(const AdmissionCase& c) {
    PlatformGuard platform;
    platform.flagged(c.flagged);
    platform.minVersion(c.minVersion);
    CapturedOutput output;
    Installer& installer = Installer::instance();
    installer.arch = "powerpc";
    for (const Known& k : c.known) installer.append(installed(k.rec))->disabled = k.disabled;
    auto candidate = pkg(c.candidate);
    EXPECT_EQ(checkAdmission(installer, *candidate, c.allowance), c.expected) << c.what;
    EXPECT_EQ(installer.messages, c.messages) << c.what;
}

const Rec foo10{.name = "foo", .version = "1.0", .built = 100};

TEST(Admission, SameNameAlreadyInstalled) {
    const AdmissionCase cases[] = {
        {"same version and build",
         {{foo10}},
         foo10,
         0,
         ADMIT_SAME,
         {"WARNING: omitting package foo-1.0: it is already installed"}},
        {"same, allowed", {{foo10}}, foo10, ADMIT_SAME, ADMIT_SAME, {}},
        {"older version",
         {{{.name = "foo", .version = "2.0"}}},
         foo10,
         ADMIT_SAME,
         ADMIT_OLDER,
         {"WARNING: omitting package foo-1.0: newer package foo-2.0 is already installed"}},
        {"older, allowed",
         {{{.name = "foo", .version = "2.0"}}},
         foo10,
         ADMIT_OLDER,
         ADMIT_OLDER,
         {}},
        {"newer version is silent",
         {{{.name = "foo", .version = "0.9"}}},
         foo10,
         0,
         ADMIT_NEWER,
         {}},
        {"same version, later build is newer",
         {{{.name = "foo", .version = "1.0", .built = 99}}},
         foo10,
         0,
         ADMIT_NEWER,
         {}},
        {"a disabled package counts too",
         {{{.name = "foo", .version = "2.0"}, true}},
         foo10,
         0,
         ADMIT_OLDER,
         {"WARNING: omitting package foo-1.0: newer package foo-2.0 is already installed"}},
        {"the first of two records decides",
         {{{.name = "foo", .version = "0.5"}}, {{.name = "foo", .version = "2.0"}}},
         foo10,
         0,
         ADMIT_NEWER,
         {}},
        {"branding is never compared",
         {{{.name = "branding", .version = "2.0", .built = 900}}},
         {.name = "branding", .version = "1.0", .built = 1},
         0,
         0,
         {},
         true},
    };
    for (const AdmissionCase& c : cases) run(c);
}

TEST(Admission, FlaggedStateRefusesOlderBuilds) {
    const AdmissionCase cases[] = {
        {"older build, even with everything allowed",
         {{{.name = "foo", .version = "1.0", .built = 200}}},
         {.name = "foo", .version = "2.0", .built = 100, .depends = "missing"},
         ADMIT_ALL,
         ADMIT_UNMET | ADMIT_CONFLICT | ADMIT_NEWER,
         {"WARNING: cannot install older foo-2.0: router in flagged state"},
         true},
        {"only the flagged warning is told",
         {{{.name = "foo", .version = "1.0", .built = 200}}},
         {.name = "foo", .version = "1.0", .built = 100, .depends = "missing"},
         0,
         ADMIT_UNMET | ADMIT_CONFLICT | ADMIT_OLDER,
         {"WARNING: cannot install older foo-1.0: router in flagged state"},
         true},
        {"a later build passes", {{{.name = "foo", .built = 50}}}, foo10, 0, ADMIT_NEWER, {}, true},
        {"not flagged", {{{.name = "foo", .built = 200}}}, foo10, ADMIT_OLDER, ADMIT_OLDER, {}},
    };
    for (const AdmissionCase& c : cases) run(c);
}

TEST(Admission, MinimumSystemVersion) {
    const AdmissionCase cases[] = {
        {"system below the minimum",
         {},
         {.name = "system", .version = "3.21"},
         0,
         ADMIT_UNMET,
         {"ERROR: omitting package system-3.21: min Velmora version is 3.22"},
         false,
         "0x03166600"},
        {"velmora prefix",
         {},
         {.name = "velmora-extra", .version = "3.21"},
         0,
         ADMIT_UNMET,
         {"ERROR: omitting package velmora-extra-3.21: min Velmora version is 3.22"},
         false,
         "0x03166600"},
        {"the minimum itself passes",
         {},
         {.name = "system", .version = "3.22"},
         0,
         0,
         {},
         false,
         "0x03166600"},
        {"allowed: silent",
         {},
         {.name = "velmora", .version = "3.21"},
         ADMIT_UNMET,
         ADMIT_UNMET,
         {},
         false,
         "0x03166600"},
        {"name containing it later is not checked",
         {},
         {.name = "myvelmora", .version = "3.21"},
         0,
         0,
         {},
         false,
         "0x03166600"},
        {"name like system is not checked",
         {},
         {.name = "systems", .version = "3.21"},
         0,
         0,
         {},
         false,
         "0x03166600"},
        {"too old and wrong architecture: one message",
         {},
         {.name = "system", .version = "3.21", .arch = "x86"},
         0,
         ADMIT_UNMET,
         {"ERROR: omitting package system-3.21: min Velmora version is 3.22"},
         false,
         "0x03166600"},
    };
    for (const AdmissionCase& c : cases) run(c);
}

TEST(Admission, ArchitectureDependenciesAndConflicts) {
    const AdmissionCase cases[] = {
        {"wrong architecture",
         {},
         {.name = "foo", .arch = "mipsbe"},
         0,
         ADMIT_UNMET,
         {"ERROR: can not install foo-1.0: it is not made for powerpc, but for mipsbe"}},
        {"empty architecture passes", {}, {.name = "foo", .arch = ""}, 0, 0, {}},
        {"own architecture passes", {}, {.name = "foo", .arch = "powerpc"}, 0, 0, {}},
        {"first missing dependency only",
         {},
         {.name = "foo", .depends = "bar:2.0 baz"},
         0,
         ADMIT_UNMET,
         {"ERROR: can not install foo-1.0: bar-2.0 is not installed, but is required"}},
        {"met dependency, then a missing one",
         {{{.name = "bar", .version = "2.0"}}},
         {.name = "foo", .depends = "bar:2.0 baz"},
         0,
         ADMIT_UNMET,
         {"ERROR: can not install foo-1.0: baz is not installed, but is required"}},
        {"met through a provision",
         {{{.name = "p", .provides = "bar"}}},
         {.name = "foo", .depends = "bar"},
         0,
         0,
         {}},
        {"met only by a disabled package",
         {{{.name = "bar"}, true}},
         {.name = "foo", .depends = "bar"},
         0,
         ADMIT_UNMET,
         {"ERROR: can not install foo-1.0: bar is not installed, but is required"}},
        {"conflict with a known package",
         {{{.name = "bar", .conflicts = "foo"}}},
         {.name = "foo"},
         0,
         ADMIT_CONFLICT,
         {"ERROR: can not install foo-1.0: it conflicts with bar-1.0"}},
        {"conflict allowed",
         {{{.name = "bar", .conflicts = "foo"}}},
         {.name = "foo"},
         ADMIT_CONFLICT,
         ADMIT_CONFLICT,
         {}},
        {"a disabled package does not conflict",
         {{{.name = "bar", .conflicts = "foo"}, true}},
         {.name = "foo"},
         0,
         0,
         {}},
        {"objections add up, the first message is told",
         {{{.name = "foo", .version = "2.0"}}, {{.name = "bar", .conflicts = "foo"}}},
         {.name = "foo", .depends = "x", .arch = "arm"},
         0,
         ADMIT_OLDER | ADMIT_UNMET | ADMIT_CONFLICT,
         {"WARNING: omitting package foo-1.0: newer package foo-2.0 is already installed"}},
        {"allowed objections let a later one speak",
         {{{.name = "foo", .version = "2.0"}}, {{.name = "bar", .conflicts = "foo"}}},
         {.name = "foo", .depends = "x", .arch = "arm"},
         ADMIT_OLDER | ADMIT_UNMET,
         ADMIT_OLDER | ADMIT_UNMET | ADMIT_CONFLICT,
         {"ERROR: can not install foo-1.0: it conflicts with bar-1.0"}},
    };
    for (const AdmissionCase& c : cases) run(c);
}

}  // namespace
