#include "hostile/catalogue.h"

#include <gtest/gtest.h>

#include <sstream>

namespace hostile {

const std::string BROKEN_FILE = "ERROR: broken package a.qpk";
const std::string BROKEN_A2 = "ERROR: installation of a-2.0 failed: broken package";
const std::string INSTALLED_A2 = "installed a-2.0";

// The progress drawing ends each redraw with a carriage return and the
// cursor sequence; what follows the last one is the printed line.
std::vector<std::string> plainLines(const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        size_t cr = line.rfind('\r');
        if (cr != std::string::npos) line = line.substr(cr + 1);
        if (line.rfind("\x1b[?25h", 0) == 0) line = line.substr(6);
        lines.push_back(line);
    }
    return lines;
}

bool hasLine(const std::string& out, const std::string& wanted) {
    for (const std::string& line : plainLines(out))
        if (line == wanted) return true;
    return false;
}

std::string showLines(const std::string& out) {
    std::string shown;
    for (const std::string& line : plainLines(out)) shown += "  | " + line + "\n";
    return shown;
}

namespace {

Snapshot outsideFlash(const Snapshot& all) {
    Snapshot out;
    for (const auto& [path, what] : all)
        if (path != "/flash" && path.rfind("/flash/", 0) != 0) out[path] = what;
    return out;
}

}  // namespace

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

void runCase(const Case& c, Via via, User user) {
    SCOPED_TRACE(std::string(c.name) + " via " + name(via) + " as " + name(user));
    const Expect& expect = via == Via::Flash ? c.flash : c.stdinRun;
    Router router;
    router.installGood();
    ASSERT_EQ(router.root().read("/flash/bin/a"), GOOD_A);
    // The offered file is in place before the "before" picture.
    const std::string bytes = c.make();
    if (via == Via::Flash) router.root().write("/flash/rw/pckg/a.qpk", bytes);
    Snapshot before = router.snapshot();

    Outcome run = via == Via::Flash ? router.run({"-r", "ROOT"}, user)
                                    : router.run({"-r", "ROOT", "-"}, user, bytes);
    const std::string shown = showLines(run.out);
    EXPECT_EQ(run.status, expect.status) << shown;
    if (!expect.line.empty()) {
        EXPECT_TRUE(hasLine(run.out, expect.line))
            << "expected the line \"" << expect.line << "\" in:\n"
            << shown;
    }
    if (expect.installs) {
        EXPECT_EQ(run.out.find("ERROR"), std::string::npos) << shown;
    }
    EXPECT_EQ(run.err, "");

    Snapshot after = router.snapshot();
    if (expect.installs) {
        EXPECT_NE(router.root().read("/flash/bin/a"), GOOD_A);
        EXPECT_EQ(differences(outsideFlash(before), outsideFlash(after), {}), "");
        return;
    }
    // The log and the standard-input image file are documented leftovers.
    EXPECT_EQ(differences(before, after, {"/flash/postlog", "/flash/var/pdb/image"}), "");
}

}  // namespace hostile
