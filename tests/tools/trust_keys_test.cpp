// The configure-time parser of the trust key file (cmake/TrustKeys.cmake),
// run on a one-line project that includes it.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/run.h"
#include "support/temp_root.h"

namespace {

std::string readHost(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string goodKeys() {
    return readHost(std::string(SOURCE_DIR) + "/keys/dev-trust.keys");
}

std::string replaceLine(const std::string& text, const std::string& prefix,
                        const std::string& with) {
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) out += (line.rfind(prefix, 0) == 0 ? with : line) + "\n";
    return out;
}

// CMake wraps its messages: compare with every run of blanks as one space.
std::string oneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        const bool blank = c == ' ' || c == '\n' || c == '\t';
        if (!blank || (!out.empty() && out.back() != ' ')) out += blank ? ' ' : c;
    }
    return out;
}

}  // namespace

TEST(TrustKeyFile, GeneratesHeaderOrNamesTheBadLine) {
    TempRoot dir;
    dir.write("/project/CMakeLists.txt",
              "cmake_minimum_required(VERSION 3.20)\nproject(t NONE)\n"
              "include(\"" SOURCE_DIR "/cmake/TrustKeys.cmake\")\n");
    const std::string good = goodKeys();
    struct Case {
        const char* what;
        std::string keys;
        const char* expected;  // in the header, or in the error
    };
    const Case cases[] = {
        {"good", good, "inline constexpr uint32_t TRUST_LEGACY_HASH_K[64] = {0x"},
        {"short key", "# c\n\ned25519-public 00ff\n", "trust.keys:3: malformed trust key line"},
        {"seven words", replaceLine(good, "legacy-hash-iv", "legacy-hash-iv 1 2 3 4 5 6 7"),
         "malformed trust key line: legacy-hash-iv 1 2 3 4 5 6 7"},
        {"unknown item", good + "legacy-secret 00\n", "malformed trust key line: legacy-secret"},
        {"missing key", replaceLine(good, "legacy-public", "# none"), "no legacy-public line"},
        {"twice", good + replaceLine(good, "#", ""), "ed25519-public given twice"},
    };
    for (const Case& c : cases) {
        dir.write("/trust.keys", c.keys);
        const RunResult r = runProgram(
            "/usr/bin/env", {"cmake", "-S", dir.host("/project"), "-B", dir.host("/build"),
                             "-DTRUST_KEYS=" + dir.host("/trust.keys")});
        if (r.status == 127) GTEST_SKIP() << "no cmake";
        const bool ok = std::string(c.what) == "good";
        EXPECT_EQ(r.status == 0, ok) << c.what << "\n" << r.err;
        const std::string seen =
            ok ? readHost(dir.host("/build/generated/trust_keys.h")) : oneLine(r.err);
        EXPECT_NE(seen.find(c.expected), std::string::npos) << c.what << "\n" << seen;
    }
}
