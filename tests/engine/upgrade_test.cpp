// The normal pass over the package files on flash: downgrade mode, the
// all-or-nothing outcome, kept images and the re-enable step (where files are
// looked for and the boot image are covered by the end-to-end scenarios).
#include "engine/upgrade.h"

#include <unistd.h>

#include <filesystem>

#include "install_fixture.h"
#include "output/postlog.h"

using namespace installtest;
using enginetest::refs;
using enginetest::ver;

namespace {

constexpr const char* UPLOADS = "/flash/rw/pckg/";

class Upgrade : public InstallTest {
  protected:
    Upgrade() { postLogReserved = false; }
    ~Upgrade() override { postLogReserved = false; }

    std::vector<Package> run(uint32_t allowance = 0) {
        int status = 0;
        return upgradeFromFlash(installer, manifest, allowance, status);
    }
    void place(const std::string& dir, const std::string& name, const std::string& file) {
        root.write(dir + name, file);
    }
    static std::vector<std::string> namesOf(const std::vector<Package>& list) {
        std::vector<std::string> out;
        for (const Package& p : list) out.push_back(p.name);
        return out;
    }
};

TEST_F(Upgrade, NothingToInstall) {
    installer.append(record("system"));
    EXPECT_TRUE(run().empty());
    EXPECT_TRUE(manifest.empty());
    EXPECT_TRUE(installer.messages.empty());
    EXPECT_FALSE(postLogReserved);
    EXPECT_FALSE(root.exists("/flash/postlog"));
}

TEST_F(Upgrade, NothingKnownAfterThePassFails) {
    EXPECT_TRUE(run().empty());
    EXPECT_EQ(installer.messages, std::vector<std::string>{"ERROR: router installation failed!!!"});
}

struct DowngradeCase {
    const char* what;
    const char* downgradeFile;  // nullptr: none
    std::vector<std::string> installed;
    const char* version;  // known afterwards
    std::vector<std::string> messages;
};

TEST_F(Upgrade, DowngradeFile) {
    const std::string limit = std::to_string(ver("1.5"));
    const DowngradeCase cases[] = {
        {"no downgrade file",
         nullptr,
         {},
         "2.0",
         {"WARNING: omitting package foo-1.0: newer package foo-2.0 is already installed"}},
        {"no lower bound", "0\n", {"foo"}, "1.0", {}},
        {"unreadable number", "many", {"foo"}, "1.0", {}},
        {"below the limit",
         limit.c_str(),
         {},
         "2.0",
         {"WARNING: ommitting package foo-1.0: not allowed"}},
    };
    for (const DowngradeCase& c : cases) {
        fresh();
        ::unlink(root.host("/ram/DOWNGRADE").c_str());
        preinstall(signedPackage(recipe("foo", "2.0")));
        if (c.downgradeFile) root.write("/ram/DOWNGRADE", c.downgradeFile);
        place(UPLOADS, "foo.qpk", signedPackage(recipe("foo", "1.0")));
        EXPECT_EQ(namesOf(run()), c.installed) << c.what;
        EXPECT_EQ(known("foo")->version, ver(c.version)) << c.what;
        EXPECT_EQ(installer.messages, c.messages) << c.what;
    }
}

TEST_F(Upgrade, FirstFailureCancelsThePass) {
    installer.append(record("system"));
    qpk::PackageRecipe bad = recipe("b");
    bad.depends = refs("a");  // installed after "a"
    bad.signatureOverride = std::string(132, '\0');
    place(UPLOADS, "b.qpk", signedPackage(bad));
    place(UPLOADS, "a.qpk", signedPackage(recipe("a")));

    EXPECT_TRUE(run().empty());
    EXPECT_TRUE(manifest.empty());
    EXPECT_EQ(installer.messages,
              std::vector<std::string>{"ERROR: installation of b-1.0 failed: broken package"});
    // The log was reserved before installing.
    EXPECT_EQ(root.read("/flash/postlog"), std::string(4096, '\0'));
    manifest.apply(false);
    EXPECT_FALSE(root.exists("/flash/bin/a"));
    EXPECT_EQ(root.tree("/flash/var/pdb"), "");
    // The staged temporary files went with the manifest.
    EXPECT_EQ(root.tree("/").find("/tmp"), std::string::npos) << root.tree("/");
}

TEST_F(Upgrade, KeptImageMovesIntoTheDatabase) {
    qpk::PackageRecipe s = recipe("router");
    s.keepImagePayload = std::string(3000, 'p');
    const std::string file = signedPackage(s);
    place(UPLOADS, "router.qpk", file);

    const std::vector<Package> installed = run();
    ASSERT_EQ(namesOf(installed), std::vector<std::string>{"router"});
    EXPECT_TRUE(installed[0].keepsImage);
    apply();
    EXPECT_EQ(root.read("/flash/var/pdb/router/image"), file);
    EXPECT_FALSE(root.exists("/flash/rw/pckg/router.qpk"));
    EXPECT_FALSE(root.exists("/flash/bootimage"));
}

struct ReenableCase {
    const char* what;
    bool conflictingKnown;
    bool enabled;
    std::vector<std::string> messages;
};

TEST_F(Upgrade, NameOfferedOnlyByADisabledPackageIsEnabledAgain) {
    const ReenableCase cases[] = {
        // Once for each name it offers.
        {"alternative enabled", false, true, {"enabled alt-1.0", "enabled alt-1.0"}},
        {"an enabled package conflicts with it", true, false, {}},
    };
    for (const ReenableCase& c : cases) {
        fresh();
        std::filesystem::remove_all(root.host("/flash/rw"));
        installer.append(record("svc", "net net2"));
        installer.append(record("alt", "net net2"))->disabled = 1;
        if (c.conflictingKnown) installer.append(record("guard", "", "alt"));
        // The new "svc" no longer offers "net" or "net2".
        place(UPLOADS, "svc.qpk", signedPackage(recipe("svc", "2.0")));

        EXPECT_EQ(namesOf(run()), std::vector<std::string>{"svc"}) << c.what;
        EXPECT_EQ(!known("alt")->disabled, c.enabled) << c.what;
        EXPECT_EQ(installer.messages, c.messages) << c.what;
    }
}

TEST_F(Upgrade, DefaultDisabledMemberStaysDisabled) {
    // "b" was enabled; the new bundle lists it as disabled by default.
    preinstall(qpk::buildBundle(bundleRecipe("base", "1.0"),
                                {signedPackage(recipe("a")), signedPackage(recipe("b"))}));
    qpk::BundleRecipe next = bundleRecipe("base", "2.0");
    next.defaultDisabled = refs("b");
    place(UPLOADS, "base.qpk",
          qpk::buildBundle(next,
                           {signedPackage(recipe("a", "2.0")), signedPackage(recipe("b", "2.0"))}));

    ASSERT_EQ(namesOf(run()), std::vector<std::string>{"base"});
    ASSERT_NE(known("b"), nullptr);
    EXPECT_EQ(known("b")->version, ver("2.0"));
    EXPECT_TRUE(known("b")->disabled);
    EXPECT_TRUE(installer.messages.empty());
}

}  // namespace
