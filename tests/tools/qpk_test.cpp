// The qpk command run as a program: build, bundle, inspect and keygen, as
// tables of command lines with the exit status and parts of the output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <sstream>

#include "qpk/lib/signer.h"
#include "support/run.h"
#include "support/temp_root.h"
#include "trust_keys.h"

namespace {

// Runs the rows of `table` in turn and gives the last result. A row is
// "qpk ARGS | STATUS | OUTPUT"; a line that starts with blanks goes on with
// the row above. In ARGS "@NAME" is a file in `dir`, which holds tree/ (a
// small tree to package) and bad.keys; "DEV" is the development keys. A
// build or bundle that succeeds is inspected too. OUTPUT holds parts of what
// the runs print, "; " between; "!part" must be missing, "\n" is a line
// feed. A failure says why in one line (bare "qpk" prints its usage) and
// leaves the file that -o names as it was.
RunResult run(const TempRoot& dir, const char* table) {
    dir.write("/tree/bin/tool", "#!/bin/sh\necho hi\n", 0755);
    dir.write("/tree/etc/conf", "a=1\n", 0644);
    dir.write("/tree/lib/fast.so", std::string(3000, 'z'), 0644);
    dir.write("/bad.keys", "ed25519-secret 1234\n");
    RunResult r;
    std::istringstream rows(std::regex_replace(table, std::regex("\n +"), " "));
    for (std::string row; std::getline(rows, row);) {
        if (row.empty() || row.rfind("//", 0) == 0) continue;
        SCOPED_TRACE(row);
        const size_t bar = row.find(" | "), output = row.find(" | ", bar + 1);
        std::vector<std::string> args;
        std::string target;
        std::istringstream words(row.substr(3, bar - 3));
        for (std::string w; words >> w; args.push_back(w)) {
            if (!args.empty() && args.back() == "-o") target = w.substr(1);
            if (w[0] == '@') w = dir.host("/" + w.substr(1));
            if (w == "DEV") w = std::string(SOURCE_DIR) + "/keys/dev.secret";
        }
        const auto state = [&] {
            return !target.empty() && dir.exists(target) ? "file " + dir.read(target) : "";
        };
        const std::string before = state();
        r = runQpk(args);
        std::string all = r.out + r.err;
        EXPECT_EQ(r.status, std::stoi(row.substr(bar + 3))) << all;
        if (r.status == 0 && !target.empty() && (args[0] == "build" || args[0] == "bundle")) {
            const RunResult shown = runQpk({"inspect", dir.host("/" + target)});
            EXPECT_EQ(shown.status, 0) << shown.err;
            all += shown.out;
        }
        std::istringstream parts(output == std::string::npos ? "" : row.substr(output + 3));
        for (std::string part; std::getline(parts, part, ';');) {
            part = std::regex_replace(part.substr(part[0] == ' '), std::regex(R"(\\n)"), "\n");
            const bool absent = part[0] == '!';
            EXPECT_EQ(all.find(part.substr(absent)) == std::string::npos, absent) << part << all;
        }
        if (r.status != 0) {
            EXPECT_TRUE(args.empty() || std::count(r.err.begin(), r.err.end(), '\n') == 1) << all;
            EXPECT_EQ(state(), before) << "the file -o names changed";
        }
    }
    return r;
}

TEST(Qpk, BuildThenInspectGivesTheInstallersVerdict) {
    uint8_t ed[32];
    qpk::ed25519PublicKey(qpk::developmentKeys().ed25519Seed, ed);
    if (std::memcmp(ed, TRUST_ED25519_PUBLIC, 32) != 0)
        GTEST_SKIP() << "built with other trust keys";
    run(TempRoot(), R"(
qpk build -o @p --name demo --version 7.2 --key DEV @tree | 0
    | installer: accepted (Ed25519); !digest: SHA-256; !warning: no signing key
qpk build -o @p --name demo --version 7.2 --key DEV --sha256 @tree | 0
    | installer: accepted (Ed25519); digest: SHA-256; !warning: no signing key
qpk build -o @p --name demo --version 6.40 --legacy-key DEV @tree | 0 | !warning: no signing key;
    installer: accepted (legacy form, trust level 1 only); !digest: SHA-256
qpk build -o @p --name demo --version 7.2 --legacy-key DEV @tree | 0
    | installer: rejected; !digest: SHA-256; !warning: no signing key
qpk build -o @p --name demo --version 6.40 @tree | 0
    | installer: rejected; !digest: SHA-256; warning: no signing key
// A bundle of signed members; without an image it would lose them at the
// next start-up.
qpk build -o @a --name demo --version 7.1beta3 --key DEV @tree | 0
qpk build -o @b --name extra --version 7.2 --key DEV --sha256 @tree | 0
qpk bundle -o @all --name all --version 7.2 --default-disabled extra
    --keep-image @tree/etc/conf @a @b | 0
    | bundle all 7.2\n; installs disabled: extra; member demo 7.1beta3\n;
    installer: accepted (Ed25519)\nmember extra 7.2\n;
    trust level: 2 (Ed25519 only)\n    installer: accepted (Ed25519)\n
qpk bundle -o @x --name x --version 1.0 @a | 2 | --keep-image
qpk bundle -o @x --name x --version 1.0 --keep-image @tree/etc/conf @bad.keys | 1
)");
}

TEST(Qpk, BuildWritesTheOptionsIntoTheFile) {
    TempRoot dir;
    run(dir, R"(
qpk build -o @p --name demo --version 7.1beta3 --key DEV --build-time 1700000000 --flags 0x3
    --arch powerpc --note a_note --depends system:6.40:7.1 --provides api:1.2::-5
    --conflicts old::6.0 --cpu-class /lib/fast.so=3 --unrecorded @tree | 0
    | unrecorded package file; package demo 7.1beta3\n;
    build time: 1700000000 (2023-11-14 22:13:20 UTC); flags: 0x00000003 boot-image no-meta;
    architecture: powerpc\n; note: a_note\n; depends: system 6.40 .. 7.1\n;
    provides: api 1.2 .. any weight -5\n; conflicts: old any .. 6.0\n;
    100755  cpu   0          18  bin/tool; 100644  cpu   3        3000  lib/fast.so;
    type   9 signature       length 132
)");
    std::string bytes = dir.read("/p");
    bytes[bytes.size() / 2] ^= 0x20;  // inside the files part
    dir.write("/p", bytes);
    run(dir, "qpk inspect @p | 0 | installer: rejected");
}

// The signer checks its signatures against the public halves of the keys it
// signs with: a package built with the new keys shows they work.
TEST(Qpk, KeygenMakesAWorkingKeyPair) {
    TempRoot dir;
    const RunResult made = run(dir, "qpk keygen -o @k | 0");
    qpk::SigningKeys keys;
    std::string error;
    ASSERT_TRUE(qpk::loadKeyFile(dir.host("/k"), keys, error)) << error;
    ASSERT_TRUE(keys.haveEd25519 && keys.haveLegacy);
    uint8_t ed[32], legacy[32];
    qpk::ed25519PublicKey(keys.ed25519Seed, ed);
    qpk::legacyPublicKey(keys.legacyScalar, legacy);
    char iv[10], hex[65];
    std::snprintf(iv, sizeof iv, "%08x ", TRUST_LEGACY_HASH_IV[0]);
    const auto text = [&](const uint8_t* key) {
        for (int i = 0; i < 32; ++i) std::snprintf(hex + 2 * i, 3, "%02x", key[i]);
        return std::string(hex);
    };
    const std::string trust = dir.read("/k.trust");
    EXPECT_EQ(made.out, trust);
    for (const std::string& line :
         {"ed25519-public " + text(ed) + "\n", "legacy-public " + text(legacy) + "\n",
          "legacy-hash-iv " + std::string(iv)})
        EXPECT_NE(trust.find(line), std::string::npos) << line << trust;
    // Not trusted by this build; an existing key file is never replaced.
    run(dir, R"(
qpk build -o @p --name demo --version 6.40 --key @k @tree | 0
    | installer: rejected; !warning: no signing key
qpk keygen -o @k | 1
)");
}

TEST(Qpk, BadCommandLinesFailWithOneLine) {
    run(TempRoot(), R"(
qpk | 2 | usage: qpk <command>
qpk frobnicate | 2
qpk build --name demo --version 1.0 @tree | 2
qpk build -o @x --name seventeen-chars-x --version 1.0 @tree | 2
qpk build -o @x --name demo --version 1.0zeta @tree | 2
qpk build -o @x --name demo --version 1.0 --depends a:b @tree | 2
qpk build -o @x --name demo --version 1.0 --key @bad.keys @tree | 1
qpk build -o @x --name demo --version 1.0 --cpu-class nope=1 @tree | 1
qpk build -o @x --name demo --version 1.0 --wat @tree | 2
qpk build -o @x --name demo --version | 2
qpk bundle -o @x --name b --version 1.0 | 2
qpk inspect @missing | 1
qpk keygen | 2
qpk build --help | 0 | usage: qpk build
qpk bundle --help | 0 | usage: qpk bundle
qpk inspect --help | 0 | usage: qpk inspect
qpk keygen --help | 0 | usage: qpk keygen
)");
}

}  // namespace
