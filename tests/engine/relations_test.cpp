#include "engine/relations.h"

#include <gtest/gtest.h>

#include "engine_records.h"
#include "support/temp_root.h"

using namespace enginetest;

namespace {

TEST(Relations, SatisfiesAndProvidesMatch) {
    struct Case {
        const char* package;
        const char* ref;
        bool satisfied, provided;
    } const cases[] = {
        {"a", "a", true, false},
        {"a", "b", false, false},
        {"a 2.0", "a:2.0", true, false},
        {"a 2.0", "a:2.0.1", false, false},
        {"a 2.0", "a::2.0", true, false},
        {"a 2.0", "a::2.0rc1", false, false},
        {"p prov=a", "a:5.0:6.0", false, true},
        {"p prov=a:2.0:3.0", "a:1.0:2.5", false, true},
        {"p prov=a:2.0:3.0", "a:3.0", false, true},       // touching at the top
        {"p prov=a:2.0:3.0", "a:3.1", false, false},      // provided range below
        {"p prov=a:2.0:3.0", "a:1.0:1.5", false, false},  // provided range above
        {"p prov=a:9.0", "a:1.0", false, true},           // no upper bound wanted
        {"p prov=a:1.0:1.1,a:4.0", "a:3.0", false, true},
    };
    for (const Case& c : cases) {
        PackageRef r = refs(c.ref).front();
        EXPECT_EQ(satisfies(*pkg(c.package), r), c.satisfied) << c.package << " / " << c.ref;
        EXPECT_EQ(providesMatch(*pkg(c.package), r), c.provided) << c.package << " / " << c.ref;
    }
}

TEST(Relations, ConflictsWithStepByStep) {
    struct Case {
        const char *a, *b;
        bool expected;
    } const cases[] = {
        // A placeholder on either side never conflicts.
        {"a placeholder conf=b", "b", false},
        {"a conf=b", "b placeholder", false},
        // b meets a conflict entry of a; one-sided.
        {"a conf=b", "b", true},
        {"a conf=b:2.0", "b", false},
        {"b", "a conf=b", false},
        // b provides a's name: the weight of b's first such entry decides.
        {"a", "b prov=a:::-1", true},
        {"a", "b prov=a", false},
        {"a", "b prov=a:::2,a:::-2", false},
        {"a conf=x", "b prov=a:::1,x", false},  // before the provision test
        // a provides b's name, or both provide one name.
        {"a prov=b", "b", true},
        {"a prov=b:::3", "b", true},
        {"a prov=b:::-1", "b", false},
        {"a prov=x:::2", "b prov=x:::1", true},
        {"a prov=x:::1", "b prov=x:::1", false},
        {"a prov=x:::-1", "b prov=x:::-3", true},  // signed comparison
        {"a prov=x:::-3", "b prov=x:::-1", false},
        {"a prov=x:::1", "b prov=x:::5,x:::0", false},  // b's first entry
        {"a prov=y,b:::-1,x:::9", "b prov=x", false},   // a's first deciding entry
        {"a prov=x conf=y", "b prov=x,y", false},       // before the provision test
        // b provides what a conflicts with.
        {"a conf=x:2.0", "b prov=x:1.0:3.0", true},
        {"a conf=x:2.0", "b prov=x:1.0:1.5", false},
        {"a prov=x", "b prov=y", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(conflictsWith(*pkg(c.a), *pkg(c.b)), c.expected) << c.a << " / " << c.b;
}

TEST(Relations, ConflictsWithBundleMembersBothWays) {
    auto sys = bundle("sys", {"a", "c"});
    EXPECT_TRUE(conflictsWith(*pkg("a"), *sys));  // b carries a member named a
    EXPECT_FALSE(conflictsWith(*pkg("d"), *sys));
    EXPECT_FALSE(conflictsWith(*sys, *pkg("a")));
    auto other = bundle("other", {"m conf=d"});
    EXPECT_TRUE(conflictsWith(*other, *pkg("d")));  // a member of a conflicts with b
    EXPECT_FALSE(conflictsWith(*other, *pkg("a")));
    EXPECT_FALSE(conflictsWith(*bundle("x", {"d"}), *pkg("d")));
}

TEST(Relations, DependsOnThroughMembersBothWays) {
    auto needsC = pkg("a dep=c:1.0");
    EXPECT_TRUE(dependsOn(*needsC, *pkg("c 1.0")));
    EXPECT_FALSE(dependsOn(*needsC, *pkg("c 0.9")));
    EXPECT_TRUE(dependsOn(*needsC, *pkg("p prov=c:1.0")));
    EXPECT_FALSE(dependsOn(*pkg("c"), *needsC));
    auto carriesC = bundle("sys", {"x", "c 2.0"});
    EXPECT_TRUE(dependsOn(*needsC, *carriesC));
    auto memberNeedsC = bundle("app", {"m dep=c"});
    EXPECT_TRUE(dependsOn(*memberNeedsC, *pkg("c")));
    EXPECT_TRUE(dependsOn(*memberNeedsC, *carriesC));
    EXPECT_FALSE(dependsOn(*memberNeedsC, *pkg("z")));
}

TEST(Relations, CompareRelated) {
    EXPECT_EQ(compareRelated(*pkg("a 2.0"), *pkg("a")), 1);
    EXPECT_EQ(compareRelated(*pkg("a"), *pkg("a 2.0")), -1);
    EXPECT_EQ(compareRelated(*pkg("a @5"), *pkg("a @4")), 1);
    EXPECT_EQ(compareRelated(*pkg("a 1.1 @1"), *pkg("a 1.0 @9")), 1);
    EXPECT_EQ(compareRelated(*pkg("a"), *pkg("a")), 0);
    EXPECT_EQ(compareRelated(*pkg("a 9.0"), *pkg("b")), 0);
    EXPECT_EQ(compareRelated(*bundle("s", {"b 2.0"}), *pkg("b")), 1);
    EXPECT_EQ(compareRelated(*bundle("s", {"b", "b 3.0"}), *pkg("b 2.0")), -1);
    EXPECT_EQ(compareRelated(*pkg("a"), *bundle("s", {"a 2.0"})), -1);
    EXPECT_EQ(compareRelated(*pkg("a 2.0"), *bundle("s", {"a"})), 1);
}

TEST(Relations, FindProvidersAndConflicting) {
    CapturedOutput output;
    Installer& installer = Installer::instance();
    addInstalled(installer,
                 {"c 1.0", "c placeholder", "alt off prov=c conf=x", "d prov=c:2.0", "e conf=x"});
    auto names = [&](const char* ref, bool includeDisabled) {
        std::vector<InstalledPackage*> found;
        findProviders(installer, refs(ref).front(), includeDisabled, found);
        std::string out;
        for (const InstalledPackage* p : found) out += p->name;
        return out;
    };
    EXPECT_EQ(names("c", false), "cd");
    EXPECT_EQ(names("c", true), "caltd");
    EXPECT_EQ(names("c:1.5", true), "altd");
    // The disabled package that conflicts first is passed over.
    EXPECT_EQ(findConflicting(installer, *pkg("x")), installer.packages[4].get());
    EXPECT_EQ(findConflicting(installer, *pkg("y")), nullptr);
}

}  // namespace
