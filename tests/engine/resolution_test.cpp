#include "engine/resolution.h"

#include <gtest/gtest.h>

#include "engine_records.h"
#include "support/temp_root.h"

using namespace enginetest;

namespace {

// Candidates are named "name-version" in the results; a bundle gets a "*".
std::string names(const std::list<Package*>& list) {
    std::string out;
    for (const Package* p : list) {
        if (!out.empty()) out += ' ';
        out += nameWithVersion(*p);
        if (p->isBundle) out += '*';
    }
    return out;
}

struct ResolveCase {
    const char* what;
    std::vector<std::unique_ptr<Package>> input;
    const char* survivors;
    std::vector<std::string> messages;
    uint32_t limit = NO_DOWNGRADE;
    bool verbose = true;
    bool flagged = false;
};

template <typename... T>
std::vector<std::unique_ptr<Package>> packages(T&&... p) {
    std::vector<std::unique_ptr<Package>> v;
    (v.push_back(std::forward<T>(p)), ...);
    return v;
}

void run(ResolveCase& c) {
    PlatformGuard platform;
    platform.flagged(c.flagged);
    CapturedOutput output;
    std::list<Package*> candidates;
    for (auto& p : c.input) candidates.push_back(p.get());
    resolveCandidates(Installer::instance(), candidates, c.limit, c.verbose);
    EXPECT_EQ(names(candidates), c.survivors) << c.what;
    EXPECT_EQ(Installer::instance().messages, c.messages) << c.what;
}

TEST(ResolveCandidates, Filter) {
    ResolveCase cases[] = {
        {"equal pair: both dropped silently",
         packages(pkg({.name = "a"}), pkg({.name = "a"}), pkg({.name = "b"})),
         "b-1.0",
         {}},
        {"bundle wins over an equal loose member",
         packages(pkg({.name = "m"}), bundle({.name = "sys"}, {{.name = "x"}, {.name = "m"}})),
         "sys-1.0*",
         {}},
        {"two equal bundles both go",
         packages(bundle({.name = "sys"}, {}), bundle({.name = "sys"}, {})),
         "",
         {}},
        {"newest of three survives",
         packages(pkg({.name = "a", .version = "1.0"}), pkg({.name = "a", .version = "3.0"}),
                  pkg({.name = "a", .version = "2.0"})),
         "a-3.0",
         {"WARNING: omitting package a-1.0: newer package is already provided",
          "WARNING: omitting package a-2.0: newer package is already provided"}},
        {"quiet when not verbose",
         packages(pkg({.name = "a", .version = "1.0"}), pkg({.name = "a", .version = "2.0"})),
         "a-2.0",
         {},
         NO_DOWNGRADE,
         false},
        {"a newer member drops the loose package",
         packages(pkg({.name = "m"}), bundle({.name = "sys"}, {{.name = "m", .version = "2.0"}})),
         "sys-1.0*",
         {"WARNING: omitting package m-1.0: newer package is already provided"}},
        {"downgrade mode keeps the oldest",
         packages(pkg({.name = "a", .version = "2.0"}), pkg({.name = "a", .version = "1.0"}),
                  pkg({.name = "a", .version = "3.0"})),
         "a-1.0",
         {"WARNING: omitting package a-2.0: older package is already provided",
          "WARNING: omitting package a-3.0: older package is already provided"},
         0},
        {"below the downgrade limit, told even when quiet",
         packages(pkg({.name = "a", .version = "1.0"}), pkg({.name = "b", .version = "2.0"})),
         "b-2.0",
         {"WARNING: ommitting package a-1.0: not allowed"},
         makeVersion(1, 5, 0x66, 0),
         false},
        {"an entry below the limit does not count against others",
         packages(pkg({.name = "a", .version = "1.0"}), pkg({.name = "a", .version = "3.0"}),
                  pkg({.name = "a", .version = "2.0"})),
         "a-2.0",
         {"WARNING: ommitting package a-1.0: not allowed",
          "WARNING: omitting package a-3.0: older package is already provided"},
         makeVersion(1, 5, 0x66, 0),
         true},
        {"a dropped entry still counts against later ones",
         packages(pkg({.name = "a", .version = "2.0"}), pkg({.name = "a", .version = "2.0"}),
                  pkg({.name = "a", .version = "1.0"})),
         "",
         {"WARNING: omitting package a-1.0: newer package is already provided"}},
        {"flagged: only the latest builds survive, whatever the names",
         packages(pkg({.name = "a", .built = 5}), pkg({.name = "b", .built = 9}),
                  pkg({.name = "c", .built = 9})),
         "c-1.0 b-1.0",
         {"WARNING: ommiting older package a-1.0: router in flagged state"},
         NO_DOWNGRADE,
         true,
         true},
        {"flagged, quiet",
         packages(pkg({.name = "a", .built = 5}), pkg({.name = "b", .built = 9})),
         "b-1.0",
         {},
         NO_DOWNGRADE,
         false,
         true},
    };
    for (ResolveCase& c : cases) run(c);
}

TEST(ResolveCandidates, Order) {
    ResolveCase cases[] = {
        {"unrelated entries come out reversed",
         packages(pkg({.name = "x"}), pkg({.name = "y"}), pkg({.name = "z"})),
         "z-1.0 y-1.0 x-1.0",
         {}},
        {"a dependant goes after what it needs",
         packages(pkg({.name = "lib"}), pkg({.name = "app", .depends = "lib"})),
         "lib-1.0 app-1.0",
         {}},
        {"right after the last entry it needs, seen from the back",
         packages(pkg({.name = "x"}), pkg({.name = "w", .depends = "x"}),
                  pkg({.name = "y", .depends = "x"}), pkg({.name = "z"})),
         "z-1.0 x-1.0 y-1.0 w-1.0",
         {}},
        {"after a package that conflicts with it",
         packages(pkg({.name = "old", .conflicts = "new"}), pkg({.name = "new"})),
         "old-1.0 new-1.0",
         {}},
        {"needs met by a bundle member",
         packages(bundle({.name = "sys"}, {{.name = "lib"}}),
                  pkg({.name = "app", .depends = "lib"})),
         "sys-1.0* app-1.0",
         {}},
    };
    for (ResolveCase& c : cases) run(c);
}

struct ClassifyCase {
    std::vector<std::pair<bool, int32_t>> providers;  // disabled, action
    int expected;
};

TEST(ClassifyProviders, MetOnlyDisabledOrMissing) {
    const ClassifyCase cases[] = {
        {{}, 1},
        {{{false, ACTION_NONE}}, 0},
        {{{true, ACTION_ENABLE}}, 0},
        {{{true, ACTION_NONE}}, 3},
        {{{true, ACTION_UNINSTALL}}, 3},
        {{{true, ACTION_DISABLE}}, 3},
        {{{false, ACTION_DISABLE}}, 3},
        {{{false, ACTION_UNINSTALL}}, 1},
        {{{false, ACTION_ENABLE}}, 1},
        {{{false, ACTION_UNINSTALL}, {true, ACTION_NONE}}, 3},
        {{{true, ACTION_NONE}, {false, ACTION_NONE}}, 0},
    };
    for (const ClassifyCase& c : cases) {
        std::vector<std::unique_ptr<InstalledPackage>> owned;
        std::vector<InstalledPackage*> providers;
        for (auto [disabled, action] : c.providers) {
            owned.push_back(installed({.name = "p"}));
            owned.back()->disabled = disabled;
            owned.back()->scheduledAction = action;
            providers.push_back(owned.back().get());
        }
        EXPECT_EQ(classifyProviders(providers), c.expected)
            << ::testing::PrintToString(c.providers);
    }
}

// A package list for ensureDependencies: each entry is a record, its state
// and its action.
struct Entry {
    Rec rec;
    bool disabled = false;
    int32_t action = ACTION_NONE;
    const char* bundle = "";
};

struct EnsureCase {
    const char* what;
    std::vector<Entry> packages;
    const char* start;
    const char* actions;  // every package's resulting action, in list order
    std::vector<std::string> messages;
    int level = 1;
};

std::string actions(const Installer& installer) {
    std::string out;
    for (const auto& p : installer.packages) out += char('0' + p->scheduledAction);
    return out;
}

TEST(EnsureDependencies, Scenarios) {
    const EnsureCase cases[] = {
        {"cancelled uninstall is told",
         {{{.name = "app", .depends = "lib"}}, {{.name = "lib"}, false, ACTION_UNINSTALL}},
         "app",
         "00",
         {"WARNING: can not uninstall lib-1.0: app depends on it"}},
        {"level 0 is quiet",
         {{{.name = "app", .depends = "lib"}}, {{.name = "lib"}, false, ACTION_UNINSTALL}},
         "app",
         "00",
         {},
         0},
        {"cancelled disable, dependency enabled in turn",
         {{{.name = "app", .depends = "lib"}},
          {{.name = "lib", .depends = "base"}, false, ACTION_DISABLE},
          {{.name = "base"}, true}},
         "app",
         "002",
         {"WARNING: can not disable lib-1.0: app depends on it"}},
        {"disabled provider gets enabled",
         {{{.name = "app", .depends = "lib"}, true, ACTION_ENABLE}, {{.name = "lib"}, true}},
         "app",
         "22",
         {}},
        {"cycle of two disabled packages ends",
         {{{.name = "a", .depends = "b"}, true, ACTION_ENABLE},
          {{.name = "b", .depends = "a"}, true}},
         "a",
         "22",
         {}},
        {"cycle of cancelled disables enables both",
         {{{.name = "x", .depends = "a"}},
          {{.name = "a", .depends = "b"}, true, ACTION_DISABLE},
          {{.name = "b", .depends = "a"}, true, ACTION_DISABLE}},
         "x",
         "022",
         {"WARNING: can not disable a-1.0: x depends on it",
          "WARNING: can not disable b-1.0: a depends on it"}},
        {"no provider at all stops the walk",
         {{{.name = "app", .depends = "gone lib"}}, {{.name = "lib"}, true}},
         "app",
         "00",
         {}},
        {"the latest of the providers is chosen",
         {{{.name = "app", .depends = "lib"}},
          {{.name = "lib", .version = "2.0"}, true},
          {{.name = "lib", .version = "1.0"}, true}},
         "app",
         "020",
         {}},
        {"equal providers cancel out: nothing chosen",
         {{{.name = "app", .depends = "lib"}}, {{.name = "lib"}, true}, {{.name = "lib"}, true}},
         "app",
         "000",
         {}},
        {"a member needs its bundle",
         {{{.name = "m"}, false, ACTION_NONE, "sys"}, {{.name = "sys"}, true}},
         "m",
         "02",
         {}},
        {"bundle references in a circle end",
         {{{.name = "x"}, true, ACTION_ENABLE, "y"}, {{.name = "y"}, true, ACTION_ENABLE, "x"}},
         "x",
         "22",
         {}},
        {"a member named like its bundle ends",
         {{{.name = "sys"}, true, ACTION_ENABLE, "sys"}},
         "sys",
         "2",
         {}},
    };
    for (const EnsureCase& c : cases) {
        PlatformGuard platform;
        CapturedOutput output;
        Installer& installer = Installer::instance();
        for (const Entry& e : c.packages) {
            InstalledPackage* p = installer.append(installed(e.rec));
            p->disabled = e.disabled;
            p->scheduledAction = e.action;
            p->bundleRef.name = e.bundle;
        }
        ensureDependencies(installer, *findPackage(installer, c.start), c.level);
        EXPECT_EQ(actions(installer), c.actions) << c.what;
        EXPECT_EQ(installer.messages, c.messages) << c.what;
    }
}

TEST(RequireEnabled, CancelsOrEnables) {
    PlatformGuard platform;
    CapturedOutput output;
    Installer& installer = Installer::instance();
    InstalledPackage* lib = installer.append(installed({.name = "lib"}));
    InstalledPackage* app = installer.append(installed({.name = "app"}));
    lib->scheduledAction = ACTION_UNINSTALL;
    requireEnabled(installer, *lib, *app, 1);
    EXPECT_EQ(lib->scheduledAction, ACTION_NONE);
    // Enabled with nothing pending: nothing to do.
    requireEnabled(installer, *lib, *app, 1);
    EXPECT_EQ(lib->scheduledAction, ACTION_NONE);
    lib->disabled = 1;
    requireEnabled(installer, *lib, *app, 1);
    EXPECT_EQ(lib->scheduledAction, ACTION_ENABLE);
    EXPECT_EQ(installer.messages,
              std::vector<std::string>{"WARNING: can not uninstall lib-1.0: app depends on it"});
}

}  // namespace
