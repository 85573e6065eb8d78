// The qpk command run as a program: build, bundle, inspect and keygen.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "pkgfile/package_reader.h"
#include "qpk/lib/signer.h"
#include "sign/crypto.h"
#include "sign/legacy.h"
#include "support/run.h"
#include "support/temp_root.h"
#include "trust_keys.h"

namespace {

const std::string DEV_KEYS = std::string(SOURCE_DIR) + "/keys/dev.secret";

std::string readHost(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeHost(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string hex(const uint8_t* b, size_t n) {
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", b[i]);
        s += two;
    }
    return s;
}

bool developmentKeysTrusted() {
    uint8_t ed[32];
    qpk::ed25519PublicKey(qpk::developmentKeys().ed25519Seed, ed);
    return std::memcmp(ed, TRUST_ED25519_PUBLIC, 32) == 0;
}

class QpkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_.write("/tree/bin/tool", "#!/bin/sh\necho hi\n", 0755);
        dir_.write("/tree/etc/conf", "a=1\n", 0644);
        dir_.write("/tree/lib/fast.so", std::string(3000, 'z'), 0644);
    }
    std::string path(const std::string& name) const { return dir_.host("/" + name); }

    RunResult build(const std::string& out, const std::vector<std::string>& extra,
                    const std::string& version = "7.1beta3") {
        std::vector<std::string> args = {"build", "-o",        path(out), "--name",
                                         "demo",  "--version", version};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(path("tree"));
        return runQpk(args);
    }

    TempRoot dir_;
};

}  // namespace

TEST_F(QpkTest, BuildThenInspectGivesTheInstallersVerdict) {
    if (!developmentKeysTrusted()) GTEST_SKIP() << "built with other trust keys";
    struct Case {
        const char* what;
        std::vector<std::string> options;
        const char* version;
        const char* verdict;
    };
    const Case cases[] = {
        {"both keys", {"--key", DEV_KEYS}, "7.2", "installer: accepted (Ed25519)"},
        {"SHA-256", {"--key", DEV_KEYS, "--sha256"}, "7.2", "installer: accepted (Ed25519)"},
        {"legacy, old version",
         {"--legacy-key", DEV_KEYS},
         "6.40",
         "installer: accepted (legacy form, trust level 1 only)"},
        {"legacy, new version", {"--legacy-key", DEV_KEYS}, "7.2", "installer: rejected"},
        {"unsigned", {}, "6.40", "installer: rejected"},
    };
    for (const Case& c : cases) {
        const RunResult built = build("p.qpk", c.options, c.version);
        ASSERT_EQ(built.status, 0) << c.what << ": " << built.err;
        EXPECT_EQ(contains(built.err, "warning: no signing key"), c.options.empty()) << c.what;
        const RunResult shown = runQpk({"inspect", path("p.qpk")});
        EXPECT_EQ(shown.status, 0) << c.what;
        EXPECT_TRUE(contains(shown.out, c.verdict)) << c.what << "\n" << shown.out;
        EXPECT_EQ(contains(shown.out, "digest: SHA-256"), c.options.size() == 3) << c.what;
    }
}

TEST_F(QpkTest, BuildWritesTheHeaderAndFiles) {
    const RunResult built =
        build("p.qpk", {"--key", DEV_KEYS, "--build-time", "1700000000", "--flags", "0x3", "--arch",
                        "powerpc", "--note", "a note", "--depends", "system:6.40:7.1", "--provides",
                        "api:1.2::-5", "--conflicts", "old::6.0", "--cpu-class", "/lib/fast.so=3",
                        "--unrecorded"});
    ASSERT_EQ(built.status, 0) << built.err;

    const RunResult shown = runQpk({"inspect", path("p.qpk")});
    EXPECT_EQ(shown.status, 0);
    for (const char* line :
         {"unrecorded package file", "package demo 7.1beta3\n",
          "build time: 1700000000 (2023-11-14 22:13:20 UTC)",
          "flags: 0x00000003 boot-image no-meta", "architecture: powerpc\n", "note: a note\n",
          "depends: system 6.40 .. 7.1\n", "provides: api 1.2 .. any weight -5\n",
          "conflicts: old any .. 6.0\n"}) {
        EXPECT_TRUE(contains(shown.out, line)) << line << "\n" << shown.out;
    }
    EXPECT_TRUE(contains(shown.out, "100755  cpu   0          18  bin/tool"));
    EXPECT_TRUE(contains(shown.out, "100644  cpu   3        3000  lib/fast.so"));
    EXPECT_TRUE(contains(shown.out, "type   9 signature       length 132"));

    std::string bytes = readHost(path("p.qpk"));
    bytes[bytes.size() / 2] ^= 0x20;  // inside the files part
    writeHost(path("p.qpk"), bytes);
    EXPECT_TRUE(contains(runQpk({"inspect", path("p.qpk")}).out, "installer: rejected"));
}

TEST_F(QpkTest, BundleOfSignedMembers) {
    if (!developmentKeysTrusted()) GTEST_SKIP() << "built with other trust keys";
    ASSERT_EQ(build("a.qpk", {"--key", DEV_KEYS}).status, 0);
    ASSERT_EQ(runQpk({"build", "-o", path("b.qpk"), "--name", "extra", "--version", "7.2", "--key",
                      DEV_KEYS, "--sha256", path("tree")})
                  .status,
              0);
    writeHost(path("payload"), "kept");
    const RunResult bundled = runQpk({"bundle", "-o", path("all.qpk"), "--name", "all", "--version",
                                      "7.2", "--default-disabled", "extra", "--keep-image",
                                      path("payload"), path("a.qpk"), path("b.qpk")});
    ASSERT_EQ(bundled.status, 0) << bundled.err;
    const RunResult shown = runQpk({"inspect", path("all.qpk")});
    EXPECT_EQ(shown.status, 0);
    EXPECT_TRUE(contains(shown.out, "bundle all 7.2\n"));
    EXPECT_TRUE(contains(shown.out, "installs disabled: extra"));
    EXPECT_TRUE(contains(shown.out, "member demo 7.1beta3\n"));
    EXPECT_TRUE(contains(shown.out, "member extra 7.2\n"));
    size_t accepted = 0;
    for (size_t at = 0; (at = shown.out.find("installer: accepted", at)) != std::string::npos; ++at)
        ++accepted;
    EXPECT_EQ(accepted, 2u) << shown.out;

    // A bundle without an image would lose its members at the next start-up.
    const RunResult imageless =
        runQpk({"bundle", "-o", path("x.qpk"), "--name", "x", "--version", "1.0", path("a.qpk")});
    EXPECT_NE(imageless.status, 0);
    EXPECT_TRUE(contains(imageless.err, "--keep-image")) << imageless.err;

    writeHost(path("junk"), "not a package");
    EXPECT_NE(runQpk({"bundle", "-o", path("x.qpk"), "--name", "x", "--version", "1.0",
                      "--keep-image", path("payload"), path("junk")})
                  .status,
              0);
}

TEST_F(QpkTest, KeygenMakesAWorkingKeyPair) {
    const RunResult made = runQpk({"keygen", "-o", path("k")});
    ASSERT_EQ(made.status, 0) << made.err;
    qpk::SigningKeys keys;
    std::string error;
    ASSERT_TRUE(qpk::loadKeyFile(path("k"), keys, error)) << error;
    ASSERT_TRUE(keys.haveEd25519 && keys.haveLegacy);

    uint8_t ed[32], legacy[32];
    qpk::ed25519PublicKey(keys.ed25519Seed, ed);
    qpk::legacyPublicKey(keys.legacyScalar, legacy);
    const std::string trust = readHost(path("k.trust"));
    EXPECT_TRUE(contains(trust, "ed25519-public " + hex(ed, 32) + "\n"));
    EXPECT_TRUE(contains(trust, "legacy-public " + hex(legacy, 32) + "\n"));
    char iv[16];
    std::snprintf(iv, sizeof iv, "%08x ", TRUST_LEGACY_HASH_IV[0]);
    EXPECT_TRUE(contains(trust, std::string("legacy-hash-iv ") + iv));
    EXPECT_EQ(made.out, trust);

    // Signed with the new keys: not trusted by this build, but valid for them.
    ASSERT_EQ(build("p.qpk", {"--key", path("k")}, "6.40").status, 0);
    const std::string file = readHost(path("p.qpk"));
    EXPECT_TRUE(contains(runQpk({"inspect", path("p.qpk")}).out, "installer: rejected"));
    std::istringstream in(file);
    PackageReader reader(in, true, nullptr);
    reader.wanted = {PART_SIGNATURE};
    ASSERT_EQ(reader.nextPart(), PART_SIGNATURE);
    reader.parts().finishDigest();
    uint8_t sig[132];
    ASSERT_EQ(reader.parts().readUndigested(reinterpret_cast<char*>(sig), 132), 132u);
    const uint8_t* digest = reader.parts().digestSlot();
    EXPECT_TRUE(legacySignatureCheckWith(digest, sig + 20, sig + 36, legacy));
    EXPECT_NE(eddsa::verify({ed, ed + 32}, {digest, digest + 32}, {sig + 68, sig + 132}), 0);

    // An existing key file is never replaced.
    const std::string before = readHost(path("k"));
    EXPECT_NE(runQpk({"keygen", "-o", path("k")}).status, 0);
    EXPECT_EQ(readHost(path("k")), before);
}

TEST_F(QpkTest, BadCommandLinesFailWithOneLine) {
    dir_.write("/bad.keys", "ed25519-secret 1234\n");
    const std::string x = path("x"), tree = path("tree");
    const std::vector<std::vector<std::string>> commands = {
        {},
        {"frobnicate"},
        {"build", "--name", "demo", "--version", "1.0", tree},
        {"build", "-o", x, "--name", "seventeen-chars-x", "--version", "1.0", tree},
        {"build", "-o", x, "--name", "demo", "--version", "1.0zeta", tree},
        {"build", "-o", x, "--name", "demo", "--version", "1.0", "--depends", "a:b", tree},
        {"build", "-o", x, "--name", "demo", "--version", "1.0", "--key", path("bad.keys"), tree},
        {"build", "-o", x, "--name", "demo", "--version", "1.0", "--cpu-class", "nope=1", tree},
        {"build", "-o", x, "--name", "demo", "--version", "1.0", "--wat", tree},
        {"build", "-o", x, "--name", "demo", "--version"},
        {"bundle", "-o", x, "--name", "b", "--version", "1.0"},
        {"inspect", path("missing")},
        {"keygen"},
    };
    for (const auto& args : commands) {
        const RunResult r = runQpk(args);
        std::string line;
        for (const auto& a : args) line += a + " ";
        EXPECT_NE(r.status, 0) << line;
        if (!args.empty()) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << line << "\n" << r.err;
        }
        EXPECT_FALSE(std::ifstream(x).good()) << line;
    }
}

TEST(Qpk, HelpForEveryCommand) {
    for (const char* command : {"build", "bundle", "inspect", "keygen"}) {
        const RunResult r = runQpk({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(r.out.rfind(std::string("usage: qpk ") + command, 0), 0u) << r.out;
    }
}
