// Installing a single package file: admission outcomes, replacement, the
// parts after the signature, markers and the boot-image switch.
#include "engine/admission.h"
#include "install_fixture.h"

using namespace installtest;
using enginetest::refs;
using enginetest::ver;

namespace {

using InstallOne = InstallTest;

TEST_F(InstallOne, FreshPackageIsExtractedAndRecorded) {
    std::string imageDir = "unchanged";
    uint8_t bootFlag = 7;
    ASSERT_EQ(install(signedPackage(recipe("foo", "1.0")), 0, {}, &imageDir, &bootFlag), SET_OK);
    EXPECT_EQ(names(), std::vector<std::string>{"foo"});
    EXPECT_EQ(imageDir, "unchanged");
    EXPECT_EQ(bootFlag, 0);
    EXPECT_FALSE(staged("/flash/UPGRADED"));
    EXPECT_TRUE(installer.messages.empty());
    EXPECT_TRUE(installer.progressLine.empty());

    apply();
    EXPECT_EQ(root.read("/flash/bin/foo"), "foo 1.0");
    EXPECT_EQ(root.read("/flash/var/pdb/foo/version"), std::to_string(ver("1.0")) + " 1\n");
    EXPECT_EQ(root.read("/flash/var/pdb/foo/files"), "flash/bin/foo\n");
}

TEST_F(InstallOne, UpgradeReplacesTheKnownPackageAndItsFiles) {
    qpk::PackageRecipe v1 = recipe("foo", "1.0");
    v1.files.push_back({"bin/old", 0100644, "old", 0});
    preinstall(signedPackage(v1));

    ASSERT_EQ(install(signedPackage(recipe("foo", "2.0"))), SET_OK);
    ASSERT_EQ(names(), std::vector<std::string>{"foo"});
    EXPECT_EQ(known("foo")->version, ver("2.0"));
    apply();
    EXPECT_EQ(root.read("/flash/bin/foo"), "foo 2.0");
    EXPECT_FALSE(root.exists("/flash/bin/old"));
    EXPECT_EQ(root.read("/flash/var/pdb/foo/files"), "flash/bin/foo\n");
}

struct KnownVersionCase {
    const char* what;
    const char* candidate;
    uint32_t allowance;
    UserStates states;
    int status;
    const char* version;  // of the known package afterwards
    bool anythingStaged;
    std::vector<std::string> messages;
};

TEST_F(InstallOne, CandidateAgainstTheKnownVersion) {
    const KnownVersionCase cases[] = {
        {"same version refused",
         "2.0",
         0,
         {},
         SET_OK,
         "2.0",
         false,
         {"WARNING: omitting package foo-2.0: it is already installed"}},
        {"same version with reinstall allowed",
         "2.0",
         ADMIT_SAME,
         {},
         SET_OK,
         "2.0",
         false,
         {"installed foo-2.0"}},
        {"same version, user chose disabled",
         "2.0",
         ADMIT_SAME,
         {{"foo", true}},
         SET_OK,
         "2.0",
         false,
         {"installed (disabled) foo-2.0"}},
        {"older refused",
         "1.0",
         0,
         {},
         SET_BAD,
         "2.0",
         false,
         {"WARNING: omitting package foo-1.0: newer package foo-2.0 is already installed"}},
        {"older with downgrade allowed", "1.0", ADMIT_OLDER, {}, SET_OK, "1.0", true, {}},
    };
    for (const KnownVersionCase& c : cases) {
        fresh();
        preinstall(signedPackage(recipe("foo", "2.0")));
        EXPECT_EQ(install(signedPackage(recipe("foo", c.candidate)), c.allowance, c.states),
                  c.status)
            << c.what;
        ASSERT_NE(known("foo"), nullptr) << c.what;
        EXPECT_EQ(known("foo")->version, ver(c.version)) << c.what;
        EXPECT_EQ(names().size(), 1u) << c.what;
        EXPECT_EQ(!manifest.empty(), c.anythingStaged) << c.what;
        EXPECT_EQ(installer.messages, c.messages) << c.what;
        EXPECT_TRUE(installer.progressLine.empty()) << c.what;
    }
}

TEST_F(InstallOne, ReinstallReportsTheKnownBootFlag) {
    qpk::PackageRecipe s = recipe("kernel", "1.0");
    s.flags = FLAG_BOOT_IMAGE;
    preinstall(signedPackage(s));
    uint8_t bootFlag = 0;
    EXPECT_EQ(install(signedPackage(s), ADMIT_SAME, {}, nullptr, &bootFlag), SET_OK);
    EXPECT_EQ(bootFlag, 1);
}

TEST_F(InstallOne, ConflictingPackageInstallsDisabled) {
    auto bar = record("bar", "", "foo");
    installer.append(std::move(bar));
    ASSERT_EQ(install(signedPackage(recipe("foo"))), SET_OK);
    ASSERT_NE(known("foo"), nullptr);
    EXPECT_TRUE(known("foo")->disabled);
    EXPECT_TRUE(installer.messages.empty());
    apply();
    EXPECT_TRUE(root.exists("/flash/x/foo/bin/foo"));
    EXPECT_FALSE(root.exists("/flash/bin/foo"));
    EXPECT_EQ(root.read("/flash/var/pdb/foo/disabled"), "auto\n");
}

TEST_F(InstallOne, UnrecordedPackageReplacesNothingAndWritesNoRecord) {
    preinstall(signedPackage(recipe("foo", "1.0")));
    qpk::PackageRecipe s = recipe("foo", "2.0");
    s.files = {{"bin/tool", 0100755, "tool", 0}};
    s.unrecorded = true;
    ASSERT_EQ(install(signedPackage(s)), SET_OK);
    EXPECT_FALSE(staged("/flash/var/pdb/"));
    EXPECT_FALSE(staged("/flash/bin/foo"));
    apply();
    EXPECT_EQ(root.read("/flash/bin/tool"), "tool");
    EXPECT_EQ(root.read("/flash/bin/foo"), "foo 1.0");
    EXPECT_EQ(root.read("/flash/var/pdb/foo/version"), std::to_string(ver("1.0")) + " 1\n");
}

TEST_F(InstallOne, NeedMetOnlyByTheReplacedPackageFails) {
    // The old "foo" offered "libx"; the new one needs it but offers it no more.
    installer.append(record("system"));
    qpk::PackageRecipe v1 = recipe("foo", "1.0");
    v1.provides = refs("libx");
    preinstall(signedPackage(v1));
    qpk::PackageRecipe v2 = recipe("foo", "2.0");
    v2.depends = refs("libx");
    EXPECT_EQ(install(signedPackage(v2)), SET_BAD);
    EXPECT_EQ(known("foo"), nullptr);
    EXPECT_EQ(installer.messages,
              std::vector<std::string>{
                  "ERROR: can not install foo-2.0: libx is not installed, but is required"});
}

struct BrokenCase {
    const char* what;
    void (*damage)(qpk::PackageRecipe&);
    bool broken;
};

TEST_F(InstallOne, SignatureAndTrailingParts) {
    const BrokenCase cases[] = {
        {"valid", [](qpk::PackageRecipe&) {}, false},
        {"signature of zeros",
         [](qpk::PackageRecipe& s) { s.signatureOverride = std::string(132, '\0'); }, true},
        {"no signature part", [](qpk::PackageRecipe& s) { s.withSignature = false; }, true},
        {"signature too short",
         [](qpk::PackageRecipe& s) { s.signatureOverride = std::string(67, 'x'); }, true},
        {"architecture and empty depends after the signature",
         [](qpk::PackageRecipe& s) {
             s.partsAfterSignature = {{PART_ARCHITECTURE, "i386", {}}, {PART_DEPENDS, "", {}}};
         },
         false},
        {"non-empty depends after the signature",
         [](qpk::PackageRecipe& s) {
             s.partsAfterSignature = {{PART_DEPENDS, refListPayload(refs("bar")), {}}};
         },
         true},
        {"second package header after the signature",
         [](qpk::PackageRecipe& s) {
             s.partsAfterSignature = {{PART_PACKAGE_HEADER, std::string(36, 'a'), {}}};
         },
         true},
        {"files part after the signature",
         [](qpk::PackageRecipe& s) {
             s.partsAfterSignature = {{PART_FILES, "", {}}};
         },
         true},
        {"unwanted part after the signature",
         [](qpk::PackageRecipe& s) {
             s.partsAfterSignature = {{PART_NOTE, "note", {}}};
         },
         false},
    };
    for (const BrokenCase& c : cases) {
        fresh();
        qpk::PackageRecipe s = recipe("foo");
        c.damage(s);
        const int status = install(signedPackage(s));
        if (c.broken) {
            EXPECT_EQ(status, SET_BAD) << c.what;
            EXPECT_TRUE(installer.packages.empty()) << c.what;
            EXPECT_EQ(installer.messages,
                      std::vector<std::string>{"ERROR: installation of foo-1.0 failed: broken "
                                               "package"})
                << c.what;
        } else {
            EXPECT_EQ(status, SET_OK) << c.what;
            EXPECT_EQ(names(), std::vector<std::string>{"foo"}) << c.what;
            EXPECT_TRUE(installer.messages.empty()) << c.what;
        }
        manifest.cancel();
    }
}

TEST_F(InstallOne, UnsafeNamesAreBroken) {
    for (const char* name : {"", ".", "..", "a/b", "../../etc"}) {
        fresh();
        EXPECT_EQ(install(signedPackage(recipe(name))), SET_BAD) << name;
        EXPECT_TRUE(installer.packages.empty()) << name;
        EXPECT_TRUE(manifest.empty()) << name;
        EXPECT_EQ(installer.messages,
                  std::vector<std::string>{"ERROR: installation of " + std::string(name) +
                                           "-1.0 failed: broken package"})
            << name;
    }
}

struct ConvertCase {
    const char* name;
    const char* version;
    const char* arch;  // a foreign one makes the admission refuse it
    bool marker;
};

TEST_F(InstallOne, ConvertMarkerForOldSystems) {
    const ConvertCase cases[] = {
        {"system", "6.49", "i386", true},   {"system", "6.49", "mipsbe", true},
        {"system", "7.1", "i386", false},   {"system", "0.0", "i386", true},
        {"systemx", "6.49", "i386", false},
    };
    for (const ConvertCase& c : cases) {
        fresh();
        root.write("/rw/CONVERT", "stale");
        qpk::PackageRecipe s = recipe(c.name, c.version);
        s.architecture = c.arch;
        install(signedPackage(s));
        manifest.cancel();
        // The marker is created, or truncated when it is there already.
        EXPECT_EQ(root.read("/rw/CONVERT"), c.marker ? "" : "stale")
            << c.name << " " << c.version << " " << c.arch;
    }
}

TEST_F(InstallOne, BootImageSwitchLeavesTheFilesButChecksTheSignature) {
    EnvGuard env("bootimage", "1");
    qpk::PackageRecipe s = recipe("kernel");
    s.flags = FLAG_BOOT_IMAGE;
    uint8_t bootFlag = 0;
    ASSERT_EQ(install(signedPackage(s), 0, {}, nullptr, &bootFlag), SET_OK);
    EXPECT_EQ(bootFlag, 1);
    EXPECT_FALSE(staged("/flash/bin/"));
    EXPECT_TRUE(staged("/flash/var/pdb/kernel/version"));
    manifest.cancel();

    // A package without the boot flag is extracted as usual.
    bootFlag = 1;
    ASSERT_EQ(install(signedPackage(recipe("plain")), 0, {}, nullptr, &bootFlag), SET_OK);
    EXPECT_EQ(bootFlag, 0);
    EXPECT_TRUE(staged("/flash/bin/plain"));
    manifest.cancel();

    // The files part that is passed over is still covered by the signature.
    qpk::PackageRecipe tampered = s;
    tampered.name = "kernel2";
    std::string file = signedPackage(tampered);
    std::string body = qpk::deflateBytes(qpk::fileRecords(tampered.files), 6);
    const size_t filesAt = file.find(body);
    ASSERT_NE(filesAt, std::string::npos);
    file[filesAt + body.size() / 2] ^= 0x55;
    EXPECT_EQ(install(file), SET_BAD);
    EXPECT_EQ(installer.messages.back(),
              "ERROR: installation of kernel2-1.0 failed: broken package");
}

TEST_F(InstallOne, KeptImagePayloadIsSkipped) {
    qpk::PackageRecipe s = recipe("router");
    s.keepImagePayload = std::string(10000, 'i');
    std::string imageDir;
    ASSERT_EQ(install(signedPackage(s), 0, {}, &imageDir), SET_OK);
    EXPECT_EQ(imageDir, "/flash/var/pdb/router/");
    EXPECT_TRUE(known("router")->keepsImage);
    // Such a record keeps only its image and state files.
    EXPECT_FALSE(staged("/flash/var/pdb/router/version"));
    EXPECT_TRUE(staged("/flash/bin/router"));
}

}  // namespace
