// The hostile catalogue: each row of hostile/catalogue.txt (its columns explained there) becomes
// a scenario (e2e/scenario.h) for every way it offers its file. After them, a text part too large
// to hold and a chain of records too long to walk by recursion.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>

#include "e2e/scenario.h"
#include "model/version.h"
#include "support/packages.h"
#include "support/run.h"
#include "support/temp_root.h"

namespace {

struct Case {
    std::string name, text;
    friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

// A cell with its shorthands written out, the directives one a line.
std::string expand(std::string cell) {
    const std::pair<const char*, const char*> shorthands[] = {
        {R"(^rec:(.*))", R"(pkg:a:2.0 "record=100644:::bin/a:a 2.0\n" "record=$1")"},
        {R"(pkg:([^:]*):([^\s;]+))",
         R"(name=$1 version=$2 build-time=1000 "exec=bin/a:$1 $2\n" "file=lib/liba:lib $2\n")"},
        {R"(bundle:([^:]*):([^\s;]+))",
         "name=$1 version=1.0 build-time=1 keep-image=image bundle-of=$2"},
        {"; *", "\n"}};
    for (const auto& [from, to] : shorthands) cell = std::regex_replace(cell, std::regex(from), to);
    return cell;
}

// The directives that check one way of offering: `cell` is the expectation,
// `after` and `mayChange` the row's own.
std::string checks(const std::string& cell, const std::string& after, std::string mayChange) {
    size_t end = 0;
    const int status = std::stoi(cell, &end);
    const bool installs = cell[end] == '+';
    std::string line = cell.substr(std::min(cell.size(), end + installs + 1));
    if (line.rfind('!', 0) == 0) {
        const size_t colon = line.find(": ");
        line = "ERROR: installation of " + line.substr(1, colon - 1) + " failed: " +
               (colon == std::string::npos ? "broken package" : line.substr(colon + 2));
    }
    std::string t = "status " + std::to_string(status) + "\n";
    if (!line.empty()) t += "stdout-has \"" + line + "\"\n";
    if (installs) t += "stdout-lacks *ERROR*\n";
    if (installs && after.empty()) t += "expect-file /flash/bin/a a 2.0\n";
    if (installs && mayChange.empty()) mayChange = "/flash";
    return t + after + "\nexpect-unchanged /flash/postlog /flash/var/pdb/image " + mayChange + "\n";
}

// The scenarios of every row, each way it offers its file, all from the base root.
std::vector<Case> cases() {
    std::ifstream rows(SOURCE_DIR "/tests/hostile/catalogue.txt");
    if (!rows) throw std::runtime_error("tests/hostile/catalogue.txt cannot be read");
    std::vector<Case> out;
    std::string base;
    for (std::string row; std::getline(rows, row);) {
        if (row.empty() || row[0] == '#') continue;
        const std::regex bar(" *\\| *");
        std::vector<std::string> c(std::sregex_token_iterator(row.begin(), row.end(), bar, -1), {});
        c.resize(7);
        if (c[0] == "base") {
            base = expand(c[1]) + "\n";
            continue;
        }
        if (c[4] == "same") c[4] = c[3];
        std::string mounts, setup = base;
        std::istringstream plant(expand(c[1]));
        for (std::string d; std::getline(plant, d);)
            (d.rfind("tmpfs", 0) ? setup : mounts) += d + "\n";
        if (!c[2].empty()) setup += "package offer " + expand(c[2]) + "\n";
        const std::string place = c[2].empty() ? "" : "place offer /flash/rw/pckg/a.qpk\n";
        if (c[3] != "-")
            out.push_back({c[0] + "_Flash", mounts + setup + place + "run -- -r ROOT\n" +
                                                checks(c[3], expand(c[6]), c[5])});
        if (c[4] != "-")
            out.push_back({c[0] + "_Stdin", mounts + setup + "run stdin=offer -- -r ROOT -\n" +
                                                checks(c[4], expand(c[6]), c[5])});
    }
    return out;
}

class Catalogue : public ::testing::TestWithParam<Case> {};

TEST_P(Catalogue, Row) {
    scenario::Scenario s;
    std::string error;
    ASSERT_TRUE(scenario::parseScenarioText(GetParam().name, GetParam().text, s, error)) << error;
    scenario::checkScenario(s);
}

INSTANTIATE_TEST_SUITE_P(Rows, Catalogue, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.name; });

// A text part of hundreds of megabytes, as standard input may bring: only
// its first bytes are kept, so the installer's memory stays small. The file
// is written in pieces, so the test process stays small too.
TEST(TextParts, KeepMemoryBounded) {
    TempRoot root;
    for (const char* dir : {"/ram", "/tmp", "/flash/var/pdb"}) root.mkdirs(dir);
    constexpr uint32_t HUGE_TEXT = 192u << 20;
    std::string head, tail, error;
    ASSERT_TRUE(testpkg::build({"raw=1//hdr:a:2.0"}, {}, head, error) &&
                testpkg::build({"name=a", "version=2.0", "file=bin/a:a"}, {}, tail, error))
        << error;
    const auto le32 = [](uint32_t n) { return std::string(reinterpret_cast<const char*>(&n), 4); };
    tail = tail.substr(8 + 6 + 36);  // its file header and header part
    {
        std::ofstream out(root.host("/huge.qpk"), std::ios::binary);
        out << head.substr(0, 4) << le32(uint32_t(head.size() - 2 + HUGE_TEXT + tail.size()))
            << head.substr(8) << std::string("\x10\x00", 2) << le32(HUGE_TEXT);
        const std::string piece(1 << 20, 'n');
        for (uint32_t done = 0; done < HUGE_TEXT; done += uint32_t(piece.size())) out << piece;
        out << tail;
    }
    RunOptionsForTest options;
    options.stdinData = root.host("/huge.qpk");
    options.stdinFromFile = true;
    RunResult run = runProgram(INSTALLER_BINARY, {"-r", root.path(), "-"}, options);
    EXPECT_EQ(run.status, 1);
    // One line, the architecture cut short.
    EXPECT_EQ(
        run.out.rfind("ERROR: can not install a-2.0: it is not made for i386, but for nnn", 0), 0u);
    EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << run.out;
    EXPECT_LT(run.maxRssKb, 96 * 1024);
}

// Records planted as one long chain of needs (p0 needs p1, ..., each link a
// record of its own). The installer walks the chain without recursion, so a
// chain as long as any list cannot exhaust its stack, and in time that grows
// with the chain, not with its square.
constexpr int LINKS = 30000;

// Tens of thousands of records: the root lies in memory when it can.
struct InMemory {
    const std::string old = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    InMemory() {
        if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
    }
    ~InMemory() { old.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", old.c_str(), 1); }
};

// Plants the chain, its links disabled or not, the last one needing `last`
// (nothing when empty), and a record "keep" outside it; then runs.
RunResult runChain(const TempRoot& r, bool disabled, const std::string& last) {
    Version v = 0;
    parseVersion("1.0", v);
    const std::string version = std::to_string(v) + " 1\n";
    for (int k = 0; k < LINKS; ++k) {
        const std::string dir = "/flash/var/pdb/p" + std::to_string(k) + "/";
        const std::string need = k + 1 < LINKS ? "p" + std::to_string(k + 1) : last;
        r.write(dir + "version", version);
        r.write(dir + "deps", need.empty() ? "" : need + " 0 0\n");
        r.write(dir + "files", "");
        if (disabled) r.write(dir + "disabled", "auto\n");
    }
    r.write("/flash/var/pdb/keep/version", version);
    r.write("/flash/var/pdb/keep/deps", "");
    r.write("/flash/var/pdb/keep/files", "");
    r.mkdirs("/ram");
    r.mkdirs("/tmp");
    if (disabled) r.write("/ram/pdb/p0/schedule", "enable\n");
    return runProgram(INSTALLER_BINARY, {"-r", r.path()});
}

const std::string HEAD = "/flash/var/pdb/p0", TAIL = "/flash/var/pdb/p" + std::to_string(LINKS - 1);

TEST(Chain, EnablingTheHeadEnablesEveryLink) {
    InMemory memory;
    TempRoot root;
    const RunResult run = runChain(root, true, "");
    EXPECT_EQ(run.status, 0) << run.err;
    size_t enabled = 0;
    for (size_t at = 0; (at = run.out.find("enabled p", at)) != std::string::npos; ++at) ++enabled;
    EXPECT_EQ(enabled, size_t(LINKS));
    EXPECT_FALSE(root.exists(HEAD + "/disabled") || root.exists(TAIL + "/disabled"));
}

TEST(Chain, AMissingLastNeedUninstallsEveryLink) {
    InMemory memory;
    TempRoot root;
    const RunResult run = runChain(root, false, "gone");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(root.exists(HEAD) || root.exists(TAIL));
    EXPECT_TRUE(root.exists("/flash/var/pdb/keep/version"));
}

}  // namespace
