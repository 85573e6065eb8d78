// Damaged package containers: lengths, counts, names and part orders that a
// hostile file may declare. Every case runs from flash and from standard
// input, as root (chroot) and as nobody (file layer).
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "hostile/catalogue.h"

namespace hostile {
namespace {

// Discovery sets a damaged file aside; the pass goes on without it.
const Expect FLASH_BROKEN_FILE{0, BROKEN_FILE};
// A file whose install fails without a word fails the pass.
const Expect FLASH_FAILS_SILENTLY{1, ""};
const Expect FLASH_BROKEN_A2{1, BROKEN_A2};
const Expect STDIN_BROKEN_A2{1, BROKEN_A2};
const Expect FLASH_INSTALLS{0, INSTALLED_A2, true};
const Expect STDIN_INSTALLS{0, "", true};
// A stream that yields no package to name.
const Expect STDIN_BROKEN{1, ""};

// A bundle recipe that keeps its image, as every installable bundle does.
qpk::BundleRecipe bundleNamed(const std::string& name) {
    return {name, ver("1.0"), 1, 0, std::string("image"), {}, {}, {}};
}

std::string good() {
    return build(recipe());
}

// a-2.0 with one extra part placed right after its header part.
std::string withPartAfterHeader(const std::string& extra) {
    std::string file = good();
    size_t afterHeader = 8 + 6 + 36;
    file.insert(afterHeader, extra);
    return withDeclaredSize(file, uint32_t(file.size() - 8));
}

std::string signatureOf(uint32_t length) {
    qpk::PackageRecipe s = recipe();
    s.signatureOverride = std::string(length, '\x5a');
    return build(s);
}

const Case CASES[] = {
    // File header.
    {"FileSizeBeyondFile",
     [] {
         std::string f = good();
         return withDeclaredSize(f, uint32_t(f.size() - 8 + 1000));
     },
     FLASH_BROKEN_FILE, STDIN_INSTALLS},
    {"FileSizeAllOnes", [] { return withDeclaredSize(good(), 0xFFFFFFFF); }, FLASH_BROKEN_FILE,
     STDIN_INSTALLS},
    {"FileSizeWrapsToZero", [] { return withDeclaredSize(good(), 0xFFFFFFF8); }, FLASH_BROKEN_FILE,
     STDIN_INSTALLS},
    {"FileSizeZero", [] { return withDeclaredSize(good(), 0); }, FLASH_BROKEN_FILE, STDIN_INSTALLS},
    {"EmptyFile", [] { return std::string(); }, FLASH_BROKEN_FILE, STDIN_BROKEN},
    {"ShorterThanFileHeader", [] { return good().substr(0, 5); }, FLASH_BROKEN_FILE, STDIN_BROKEN},
    {"UnknownMagic", [] { return "\x01\x02\x03\x04" + good().substr(4); }, FLASH_BROKEN_FILE,
     STDIN_BROKEN},
    {"NothingAfterFileHeader", [] { return container(""); }, FLASH_BROKEN_FILE, STDIN_BROKEN},

    // Part lengths.
    {"HeaderPartLongerThanFile",
     [] { return container(part(1, headerRecord("a", ver("2.0")), 0xFFFFFFFF)); }, FLASH_BROKEN_A2,
     STDIN_BROKEN_A2},
    {"HeaderPartShorterThanRecord",
     [] { return container(part(1, headerRecord("a", ver("2.0")).substr(0, 20))); },
     FLASH_BROKEN_FILE, STDIN_BROKEN},
    {"FilesPartLongerThanFile",
     [] {
         std::string f = good();
         // The files part is the one before the signature part (6 + 132).
         std::string parts = partsOf(f);
         size_t sig = parts.size() - 138;
         size_t files = parts.rfind(std::string("\x04\x00", 2), sig);
         parts.replace(files + 2, 4, le32(0xFFFFFFF0));
         return container(parts.substr(0, sig));
     },
     FLASH_BROKEN_A2, STDIN_BROKEN_A2},
    {"NoteLengthNear4GiB",
     [] { return withPartAfterHeader(part(23, "note", 0xFFFFFFF0)); },
     FLASH_BROKEN_FILE,
     {1, "ERROR: installation of a-2.0 failed: broken package"}},
    {"Text24LengthNear4GiBCutShort",
     [] { return container(part(1, headerRecord("a", ver("2.0"))) + part(24, "t", 0xFFFFFFFF)); },
     FLASH_BROKEN_FILE, STDIN_BROKEN_A2},
    {"SignatureLengthBeyondFile",
     [] {
         std::string f = good();
         f.replace(f.size() - 136, 4, le32(0xFFFF));
         return f;
     },
     FLASH_BROKEN_A2, STDIN_BROKEN_A2},

    // Reference lists.
    {"DependsCount65535OneEntry",
     [] { return withPartAfterHeader(part(3, refList(65535, {"x"}))); }, FLASH_BROKEN_FILE,
     STDIN_BROKEN},
    {"ProvidesCount65535Empty", [] { return withPartAfterHeader(part(19, le16(65535))); },
     FLASH_BROKEN_FILE, STDIN_BROKEN},
    {"ConflictsCount65535Full",
     [] {
         // Every entry present: a valid, if odd, list of 65535 conflicts
         // with packages that are not installed.
         std::vector<std::string> names(65535, "nothere");
         qpk::PackageRecipe s = recipe();
         for (const std::string& n : names) s.conflicts.push_back({n, 0, 0, 0});
         return build(s);
     },
     FLASH_INSTALLS, STDIN_INSTALLS},
    {"BundleMemberListCount65535",
     [] {
         std::string member = partsOf(build(recipe("m", "1.0")));
         return container(part(18, headerRecord("sys", ver("1.0"))) + part(21, "image") +
                          part(20, refList(65535, {"m"})) + member);
     },
     FLASH_FAILS_SILENTLY, STDIN_BROKEN},

    // Names.
    {"NameOf16CharactersWithoutNul",
     [] { return build(recipe("abcdefghijklmnop", "2.0")); },
     {0, "installed abcdefghijklmnop-2.0", true},
     STDIN_INSTALLS},
    {"ReferenceNameOf16CharactersWithoutNul",
     [] {
         qpk::PackageRecipe s = recipe();
         s.provides.push_back({"abcdefghijklmnop", 0, 0, 0});
         return build(s);
     },
     FLASH_INSTALLS, STDIN_INSTALLS},
    {"NameClimbsOut",
     [] { return build(recipe("../../etc", "2.0")); },
     {1, "ERROR: installation of ../../etc-2.0 failed: broken package"},
     {1, "ERROR: installation of ../../etc-2.0 failed: broken package"}},
    {"NameWithSlash",
     [] { return build(recipe("a/b", "2.0")); },
     {1, "ERROR: installation of a/b-2.0 failed: broken package"},
     {1, "ERROR: installation of a/b-2.0 failed: broken package"}},
    {"NameDotDot",
     [] { return build(recipe("..", "2.0")); },
     {1, "ERROR: installation of ..-2.0 failed: broken package"},
     {1, "ERROR: installation of ..-2.0 failed: broken package"}},
    {"NameDot",
     [] { return build(recipe(".", "2.0")); },
     {1, "ERROR: installation of .-2.0 failed: broken package"},
     {1, "ERROR: installation of .-2.0 failed: broken package"}},
    {"NameEmpty",
     [] { return build(recipe("", "2.0")); },
     {1, "ERROR: installation of -2.0 failed: broken package"},
     {1, "ERROR: installation of -2.0 failed: broken package"}},
    {"BundleNameClimbsOut",
     [] {
         qpk::BundleRecipe b = bundleNamed("../../etc");
         return qpk::buildBundle(b, {build(recipe("m", "1.0"))});
     },
     {1, "ERROR: installation of ../../etc-1.0 failed: broken package"},
     {1, "ERROR: installation of ../../etc-1.0 failed: broken package"}},
    {"BundleMemberNameClimbsOut",
     [] {
         qpk::BundleRecipe b = bundleNamed("sys");
         return qpk::buildBundle(b, {build(recipe("../../etc", "1.0"))});
     },
     {2, "ERROR: installation of sys-1.0 failed: broken package"},
     {2, "ERROR: installation of sys-1.0 failed: broken package"}},
    {"BundleMemberNameWithSlash",
     [] {
         qpk::BundleRecipe b = bundleNamed("sys");
         return qpk::buildBundle(b, {build(recipe("x/y", "1.0"))});
     },
     {2, "ERROR: installation of sys-1.0 failed: broken package"},
     {2, "ERROR: installation of sys-1.0 failed: broken package"}},

    // Signature part lengths around the boundaries of the two forms. The
    // version 2.0 accepts the legacy form (68 to 131 bytes).
    {"Signature0", [] { return signedWithLength(recipe(), 0); }, FLASH_BROKEN_A2, STDIN_BROKEN_A2},
    {"Signature1", [] { return signedWithLength(recipe(), 1); }, FLASH_BROKEN_A2, STDIN_BROKEN_A2},
    {"Signature66", [] { return signedWithLength(recipe(), 66); }, FLASH_BROKEN_A2,
     STDIN_BROKEN_A2},
    {"Signature67", [] { return signedWithLength(recipe(), 67); }, FLASH_BROKEN_A2,
     STDIN_BROKEN_A2},
    {"Signature68", [] { return signedWithLength(recipe(), 68); }, FLASH_INSTALLS, STDIN_INSTALLS},
    {"Signature69", [] { return signedWithLength(recipe(), 69); }, FLASH_INSTALLS, STDIN_INSTALLS},
    {"Signature131", [] { return signedWithLength(recipe(), 131); }, FLASH_INSTALLS,
     STDIN_INSTALLS},
    {"Signature132", [] { return signedWithLength(recipe(), 132); }, FLASH_INSTALLS,
     STDIN_INSTALLS},
    {"Signature133", [] { return signedWithLength(recipe(), 133); }, FLASH_INSTALLS,
     STDIN_INSTALLS},
    {"Signature65535", [] { return signedWithLength(recipe(), 65535); }, FLASH_INSTALLS,
     STDIN_INSTALLS},
    {"Signature68Garbage", [] { return signatureOf(68); }, FLASH_BROKEN_A2, STDIN_BROKEN_A2},
    {"Signature132Garbage", [] { return signatureOf(132); }, FLASH_BROKEN_A2, STDIN_BROKEN_A2},
    {"Signature65535Garbage", [] { return signatureOf(65535); }, FLASH_BROKEN_A2, STDIN_BROKEN_A2},
    {"LegacySignatureOfNewerVersion",
     [] { return signedWithLength(recipe("a", "7.5"), 68); },
     {1, "ERROR: installation of a-7.5 failed: broken package"},
     {1, "ERROR: installation of a-7.5 failed: broken package"}},

    // Part order.
    {"TwoHeadersBeforeSignature",
     [] {
         std::string second = partsOf(build(recipe("evil", "9.0")));
         return container(part(1, headerRecord("a", ver("2.0"))) + second);
     },
     FLASH_BROKEN_A2, STDIN_BROKEN_A2},
    {"SecondHeaderAfterSignature",
     [] { return container(partsOf(good()) + partsOf(build(recipe("evil", "9.0")))); },
     FLASH_BROKEN_A2, STDIN_BROKEN_A2},
    {"BundleNestedInBundle",
     [] {
         qpk::BundleRecipe inner = bundleNamed("inner");
         std::string nested = qpk::buildBundle(inner, {build(recipe("n", "1.0"))});
         qpk::BundleRecipe outer = bundleNamed("sys");
         return qpk::buildBundle(outer, {build(recipe("m", "1.0")), nested});
     },
     {2, ""},
     {2, ""}},
    {"BundleHeaderInsideMember",
     [] {
         std::string member = partsOf(build(recipe("m", "1.0")));
         member.insert(6 + 36, part(18, headerRecord("inner", ver("1.0"))));
         return container(part(18, headerRecord("sys", ver("1.0"))) + part(21, "image") + member);
     },
     {2, "ERROR: installation of sys-1.0 failed: broken package"},
     {2, "ERROR: installation of sys-1.0 failed: broken package"}},
};

// A text part of hundreds of megabytes, as standard input may bring: only
// its first bytes are kept, so the installer's memory stays small. The file
// is written in pieces, so the test process (whose pages a forked child
// shares until it runs the installer) stays small too.
TEST(TextParts, KeepMemoryBounded) {
    Router router;
    router.installGood();
    constexpr uint32_t HUGE_TEXT = 192u << 20;
    const std::string head = part(1, headerRecord("a", ver("2.0"))) + le16(16) + le32(HUGE_TEXT);
    const std::string tail = partsOf(good()).substr(6 + 36);
    const std::string path = router.host("/huge.qpk");
    {
        std::ofstream out(path, std::ios::binary);
        out << le32(PACKAGE_MAGIC) << le32(uint32_t(head.size() + HUGE_TEXT + tail.size())) << head;
        const std::string piece(1 << 20, 'n');
        for (uint32_t done = 0; done < HUGE_TEXT; done += uint32_t(piece.size())) out << piece;
        out << tail;
    }
    Outcome run = router.runFromFile({"-r", "ROOT", "-"}, User::Self, path);
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(plainLines(run.out).size(), 1u) << showLines(run.out);
    EXPECT_EQ(
        run.out.rfind("ERROR: can not install a-2.0: it is not made for i386, but for nnn", 0), 0u);
    EXPECT_LT(run.maxRssKb, 96 * 1024);
}

class Container : public ::testing::TestWithParam<Case> {};

TEST_P(Container, FromFlash) {
    runCase(GetParam(), Via::Flash, User::Self);
}
TEST_P(Container, FromStdin) {
    runCase(GetParam(), Via::Stdin, User::Self);
}
TEST_P(Container, FromFlashAsNobody) {
    if (::geteuid() != 0) GTEST_SKIP() << "running as nobody needs root";
    runCase(GetParam(), Via::Flash, User::Nobody);
}
TEST_P(Container, FromStdinAsNobody) {
    if (::geteuid() != 0) GTEST_SKIP() << "running as nobody needs root";
    runCase(GetParam(), Via::Stdin, User::Nobody);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, Container, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace hostile
