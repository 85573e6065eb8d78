// Hostile file records inside a validly signed files part: names that climb
// out of /flash, sizes and name lengths beyond the stream, entries of other
// types. A good record comes first, so a refusal also shows that what was
// staged before it never reaches the flash.
#include <gtest/gtest.h>
#include <unistd.h>

#include "hostile/catalogue.h"

namespace hostile {
namespace {

const Expect FLASH_BROKEN{1, BROKEN_A2};
const Expect STDIN_BROKEN{1, BROKEN_A2};
const Expect FLASH_INSTALLS{0, INSTALLED_A2, true};
const Expect STDIN_INSTALLS{0, "", true};

constexpr uint16_t REGULAR = 0100644;

// a-2.0 whose files part holds bin/a and then `hostile` (raw record bytes).
std::string withRecord(const std::string& hostile) {
    qpk::PackageRecipe s = recipe();
    s.rawFilesStream = recordBytes(REGULAR, "bin/a", "a 2.0\n") + hostile;
    return build(s);
}

std::string named(const std::string& name) {
    return withRecord(recordBytes(REGULAR, name, "x"));
}

const Case CASES[] = {
    {"ClimbsTwoUp", [] { return named("../../etc/x"); }, FLASH_BROKEN, STDIN_BROKEN},
    {"RootedClimb", [] { return named("/../x"); }, FLASH_BROKEN, STDIN_BROKEN},
    {"ClimbsAfterDescending", [] { return named("a/../../x"); }, FLASH_BROKEN, STDIN_BROKEN},
    {"ClimbsToFlashItself", [] { return named("bin/.."); }, FLASH_BROKEN, STDIN_BROKEN},
    {"DotDot", [] { return named(".."); }, FLASH_BROKEN, STDIN_BROKEN},
    {"Dot", [] { return named("."); }, FLASH_BROKEN, STDIN_BROKEN},
    {"EmptyName", [] { return named(""); }, FLASH_BROKEN, STDIN_BROKEN},
    {"TrailingSlash", [] { return named("bin/"); }, FLASH_BROKEN, STDIN_BROKEN},
    {"NulInName", [] { return named(std::string("bin/a\0/../../../etc/x", 21)); }, FLASH_BROKEN,
     STDIN_BROKEN},
    {"LineFeedInName", [] { return named("bin/x\n../../etc/passwd"); }, FLASH_BROKEN, STDIN_BROKEN},
    {"SizeBeyondStream",
     [] { return withRecord(recordBytes(REGULAR, "bin/big", "only this", 1u << 20)); },
     FLASH_BROKEN, STDIN_BROKEN},
    {"SizeAllOnes", [] { return withRecord(recordBytes(REGULAR, "bin/big", "x", 0xFFFFFFFF)); },
     FLASH_BROKEN, STDIN_BROKEN},
    {"NameLengthBeyondStream",
     [] { return withRecord(recordBytes(REGULAR, "bin/x", "", std::nullopt, 65535)); },
     FLASH_BROKEN, STDIN_BROKEN},
    {"SkippedSizeBeyondStream",
     [] { return withRecord(recordBytes(040755, "dir", "", 0x7FFFFFFF)); }, FLASH_BROKEN,
     STDIN_BROKEN},
    // Directories, links and devices are never created from a package, so
    // their names do not matter: the package installs without them.
    {"DirectoryClimbsOut", [] { return withRecord(recordBytes(040755, "../../etc", "")); },
     FLASH_INSTALLS, STDIN_INSTALLS},
    {"LinkToPasswd",
     [] { return withRecord(recordBytes(0120777, "../../etc/passwd", "/etc/shadow")); },
     FLASH_INSTALLS, STDIN_INSTALLS},
    {"DeviceNode", [] { return withRecord(recordBytes(020644, "/../dev/mem", "")); },
     FLASH_INSTALLS, STDIN_INSTALLS},
};

class Records : public ::testing::TestWithParam<Case> {};

TEST_P(Records, FromFlash) {
    runCase(GetParam(), Via::Flash, User::Self);
}
TEST_P(Records, FromStdin) {
    runCase(GetParam(), Via::Stdin, User::Self);
}
TEST_P(Records, FromStdinAsNobody) {
    if (::geteuid() != 0) GTEST_SKIP() << "running as nobody needs root";
    runCase(GetParam(), Via::Stdin, User::Nobody);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, Records, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace hostile
