#include "engine/relations.h"

#include <gtest/gtest.h>

#include "engine_records.h"
#include "support/temp_root.h"

using namespace enginetest;

namespace {

struct RefCase {
    const char* what;
    Rec package;
    const char* ref;
    bool satisfied;
    bool provided;
};

TEST(Relations, SatisfiesAndProvidesMatch) {
    const RefCase cases[] = {
        {"same name, open range", {.name = "a"}, "a", true, false},
        {"other name", {.name = "a"}, "b", false, false},
        {"at the lower bound", {.name = "a", .version = "2.0"}, "a:2.0", true, false},
        {"below the lower bound", {.name = "a", .version = "2.0"}, "a:2.0.1", false, false},
        {"at the upper bound", {.name = "a", .version = "2.0"}, "a::2.0", true, false},
        {"above the upper bound", {.name = "a", .version = "2.0"}, "a::2.0rc1", false, false},
        {"provided, both open", {.name = "p", .provides = "a"}, "a:5.0:6.0", false, true},
        {"provided range overlaps",
         {.name = "p", .provides = "a:2.0:3.0"},
         "a:1.0:2.5",
         false,
         true},
        {"provided range below", {.name = "p", .provides = "a:2.0:3.0"}, "a:3.1", false, false},
        {"provided range above", {.name = "p", .provides = "a:2.0:3.0"}, "a:1.0:1.5", false, false},
        {"provided minimum, open wanted end",
         {.name = "p", .provides = "a:9.0"},
         "a:1.0",
         false,
         true},
        {"touching at the top", {.name = "p", .provides = "a:2.0:3.0"}, "a:3.0", false, true},
        {"a later entry matches",
         {.name = "p", .provides = "a:1.0:1.1 a:4.0"},
         "a:3.0",
         false,
         true},
        {"another name provided", {.name = "a", .provides = "b"}, "b", false, true},
    };
    for (const RefCase& c : cases) {
        auto p = pkg(c.package);
        PackageRef r = refs(c.ref).front();
        EXPECT_EQ(satisfies(*p, r), c.satisfied) << c.what;
        EXPECT_EQ(providesMatch(*p, r), c.provided) << c.what;
    }
}

struct ConflictCase {
    const char* what;
    Rec a;
    Rec b;
    bool expected;
};

TEST(Relations, ConflictsWithStepByStep) {
    const ConflictCase cases[] = {
        // Step 2: b meets a conflict entry of a.
        {"named conflict", {.name = "a", .conflicts = "b"}, {.name = "b"}, true},
        {"conflict range misses b", {.name = "a", .conflicts = "b:2.0"}, {.name = "b"}, false},
        {"conflict is one-sided", {.name = "b"}, {.name = "a", .conflicts = "b"}, false},
        // Step 3: b provides a's name; its weight decides.
        {"b provides a, negative", {.name = "a"}, {.name = "b", .provides = "a:::-1"}, true},
        {"b provides a, zero", {.name = "a"}, {.name = "b", .provides = "a"}, false},
        {"step 3 decides before step 5",
         {.name = "a", .conflicts = "x"},
         {.name = "b", .provides = "a:::1 x"},
         false},
        {"first entry of b decides",
         {.name = "a"},
         {.name = "b", .provides = "a:::2 a:::-2"},
         false},
        // Step 4: a provides b's name, or both provide one name.
        {"a provides b, zero", {.name = "a", .provides = "b"}, {.name = "b"}, true},
        {"a provides b, positive", {.name = "a", .provides = "b:::3"}, {.name = "b"}, true},
        {"a provides b, negative", {.name = "a", .provides = "b:::-1"}, {.name = "b"}, false},
        {"shared name, a heavier",
         {.name = "a", .provides = "x:::2"},
         {.name = "b", .provides = "x:::1"},
         true},
        {"shared name, equal weights",
         {.name = "a", .provides = "x:::1"},
         {.name = "b", .provides = "x:::1"},
         false},
        {"shared name, negative weights compare signed",
         {.name = "a", .provides = "x:::-1"},
         {.name = "b", .provides = "x:::-3"},
         true},
        {"shared name, a lighter and negative",
         {.name = "a", .provides = "x:::-3"},
         {.name = "b", .provides = "x:::-1"},
         false},
        {"shared name, b's first entry counts",
         {.name = "a", .provides = "x:::1"},
         {.name = "b", .provides = "x:::5 x:::0"},
         false},
        {"a's first deciding entry wins",
         {.name = "a", .provides = "y b:::-1 x:::9"},
         {.name = "b", .provides = "x"},
         false},
        {"step 4 decides before step 5",
         {.name = "a", .provides = "x", .conflicts = "y"},
         {.name = "b", .provides = "x y"},
         false},
        // Step 5: b provides what a conflicts with.
        {"conflict met by a provision",
         {.name = "a", .conflicts = "x:2.0"},
         {.name = "b", .provides = "x:1.0:3.0"},
         true},
        {"conflict range misses the provision",
         {.name = "a", .conflicts = "x:2.0"},
         {.name = "b", .provides = "x:1.0:1.5"},
         false},
        {"unrelated", {.name = "a", .provides = "x"}, {.name = "b", .provides = "y"}, false},
    };
    for (const ConflictCase& c : cases)
        EXPECT_EQ(conflictsWith(*pkg(c.a), *pkg(c.b)), c.expected) << c.what;
}

TEST(Relations, ConflictsWithPlaceholdersAndBundleMembers) {
    auto a = pkg({.name = "a", .conflicts = "b"});
    auto b = pkg({.name = "b"});
    EXPECT_FALSE(conflictsWith(*placeholder("a"), *b));
    auto ph = placeholder("b");
    EXPECT_FALSE(conflictsWith(*a, *ph));

    // Step 6: a bundle that carries a member of a's name.
    auto sys = bundle({.name = "sys"}, {{.name = "a"}, {.name = "c"}});
    auto plainA = pkg({.name = "a"});
    EXPECT_TRUE(conflictsWith(*plainA, *sys));
    auto plainD = pkg({.name = "d"});
    EXPECT_FALSE(conflictsWith(*plainD, *sys));
    // Step 7: a member of a conflicts with b.
    auto other = bundle({.name = "other"}, {{.name = "m", .conflicts = "d"}});
    EXPECT_TRUE(conflictsWith(*other, *plainD));
    EXPECT_FALSE(conflictsWith(*other, *plainA));
    // A member named like b is no conflict by itself.
    auto withD = bundle({.name = "x"}, {{.name = "d"}});
    EXPECT_FALSE(conflictsWith(*withD, *plainD));
}

TEST(Relations, DependsOnThroughMembersBothWays) {
    auto needsC = pkg({.name = "a", .depends = "c:1.0"});
    auto c = pkg({.name = "c", .version = "1.0"});
    auto oldC = pkg({.name = "c", .version = "0.9"});
    auto providesC = pkg({.name = "p", .provides = "c:1.0"});
    EXPECT_TRUE(dependsOn(*needsC, *c));
    EXPECT_FALSE(dependsOn(*needsC, *oldC));
    EXPECT_TRUE(dependsOn(*needsC, *providesC));
    EXPECT_FALSE(dependsOn(*c, *needsC));

    auto carriesC = bundle({.name = "sys"}, {{.name = "x"}, {.name = "c", .version = "2.0"}});
    EXPECT_TRUE(dependsOn(*needsC, *carriesC));
    auto memberNeedsC = bundle({.name = "app"}, {{.name = "m", .depends = "c"}});
    EXPECT_TRUE(dependsOn(*memberNeedsC, *c));
    EXPECT_TRUE(dependsOn(*memberNeedsC, *carriesC));
    EXPECT_FALSE(dependsOn(*memberNeedsC, *pkg({.name = "z"})));
}

TEST(Relations, CompareRelated) {
    struct Case {
        const char* what;
        std::unique_ptr<Package> a, b;
        int expected;
    };
    Case cases[] = {
        {"newer version", pkg({.name = "a", .version = "2.0"}), pkg({.name = "a"}), 1},
        {"older version", pkg({.name = "a"}), pkg({.name = "a", .version = "2.0"}), -1},
        {"later build", pkg({.name = "a", .built = 5}), pkg({.name = "a", .built = 4}), 1},
        {"version before build", pkg({.name = "a", .version = "1.1", .built = 1}),
         pkg({.name = "a", .version = "1.0", .built = 9}), 1},
        {"equal", pkg({.name = "a"}), pkg({.name = "a"}), 0},
        {"unrelated", pkg({.name = "a", .version = "9.0"}), pkg({.name = "b"}), 0},
        {"a's member is newer", bundle({.name = "s"}, {{.name = "b", .version = "2.0"}}),
         pkg({.name = "b"}), 1},
        {"a's first member of that name decides",
         bundle({.name = "s"}, {{.name = "b"}, {.name = "b", .version = "3.0"}}),
         pkg({.name = "b", .version = "2.0"}), -1},
        {"b's member is newer", pkg({.name = "a"}),
         bundle({.name = "s"}, {{.name = "a", .version = "2.0"}}), -1},
        {"b's member is older", pkg({.name = "a", .version = "2.0"}),
         bundle({.name = "s"}, {{.name = "a"}}), 1},
    };
    for (const Case& c : cases) EXPECT_EQ(compareRelated(*c.a, *c.b), c.expected) << c.what;
}

TEST(Relations, FindProvidersAndConflicting) {
    CapturedOutput output;
    Installer& installer = Installer::instance();
    installer.append(installed({.name = "c", .version = "1.0"}));
    auto ph = std::make_unique<InstalledPackage>("c");
    ph->version = ph->buildTime = PLACEHOLDER_VALUE;
    installer.append(std::move(ph));
    auto off = installed({.name = "alt", .provides = "c", .conflicts = "x"});
    off->disabled = 1;
    InstalledPackage* disabledAlt = installer.append(std::move(off));
    InstalledPackage* second = installer.append(installed({.name = "d", .provides = "c:2.0"}));
    InstalledPackage* enemy = installer.append(installed({.name = "e", .conflicts = "x"}));

    std::vector<InstalledPackage*> found;
    findProviders(installer, refs("c").front(), false, found);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0], installer.packages[0].get());
    EXPECT_EQ(found[1], second);
    found.clear();
    findProviders(installer, refs("c").front(), true, found);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[1], disabledAlt);
    found.clear();
    findProviders(installer, refs("c:1.5").front(), true, found);
    ASSERT_EQ(found.size(), 2u);

    // The disabled package that conflicts first is passed over.
    EXPECT_EQ(findConflicting(installer, *pkg({.name = "x"})), enemy);
    EXPECT_EQ(findConflicting(installer, *pkg({.name = "y"})), nullptr);
}

}  // namespace
