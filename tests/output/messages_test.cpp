#include <gtest/gtest.h>

#include <cerrno>

#include "output/messages.h"
#include "support/temp_root.h"

namespace {

const std::string kErase = "\r" + std::string(79, ' ') + "\r";

std::string drawn(const std::string& line, size_t oldLength) {
    std::string text = "\x1b[?25l\r" + line;
    if (oldLength > line.size()) text.append(oldLength - line.size(), ' ');
    return text + "\r\x1b[?25h";
}

TEST(Emitter, PrefixesAndRecordedLines) {
    CapturedOutput output;
    Installer& in = Installer::instance();
    in.info("installed %s", "a-1.0");
    in.warning("careful %d", 3);
    in.error("broken");
    EXPECT_EQ(output.text(), "installed a-1.0\nWARNING: careful 3\nERROR: broken\n");
    ASSERT_EQ(in.messages.size(), 3u);
    EXPECT_EQ(in.messages[1], "WARNING: careful 3");
}

TEST(Emitter, LongMessagesAreCutAt255CharactersAfterThePrefix) {
    CapturedOutput output;
    std::string long_text(400, 'x');
    Installer::instance().warning("%s", long_text.c_str());
    EXPECT_EQ(Installer::instance().messages[0], "WARNING: " + std::string(255, 'x'));
}

TEST(Emitter, QuietWritesAndRecordsNothing) {
    CapturedOutput output;
    Installer& in = Installer::instance();
    in.quiet = 1;
    in.setProgress("progress");
    in.info("a");
    in.warning("b");
    in.error("c");
    EXPECT_EQ(output.text(), "");
    EXPECT_TRUE(in.messages.empty());
    EXPECT_TRUE(in.progressLine.empty());
}

TEST(Emitter, WarningRedrawsTheProgressLineButErrorForgetsIt) {
    CapturedOutput output;
    Installer& in = Installer::instance();
    in.setProgress("installing x [##  ]");
    std::string expected = drawn("installing x [##  ]", 0);
    in.warning("w");
    expected += kErase + "WARNING: w\n" + "installing x [##  ]";
    in.error("e");
    // The error erases the bar with blanks up to its old length, and does not draw it again.
    expected += drawn("", 19) + "ERROR: e\n";
    in.setProgress("next");
    expected += drawn("next", 0);
    EXPECT_EQ(output.text(), expected);
}

TEST(Emitter, UnchangedProgressWritesNothingAndShorterLinesWipeTheRest) {
    CapturedOutput output;
    Installer& in = Installer::instance();
    in.setProgress("abcdef");
    std::string before = output.text();
    in.setProgress("abcdef");
    EXPECT_EQ(output.text(), before);
    in.setProgress("ab");
    EXPECT_EQ(output.text(), before + drawn("ab", 6));
}

TEST(ProgressBar, WidthFillAndCaption) {
    InstalledPackage p("pkg");
    p.version = makeVersion(1, 2, 0x66, 0);
    std::string caption = "installing pkg-1.2";
    std::string empty = installProgressLine(p, 0, 1000);
    EXPECT_EQ(empty.size(), 79u);
    EXPECT_EQ(empty, caption + " [" + std::string(76 - caption.size(), ' ') + "]");
    std::string full = installProgressLine(p, 1000, 1000);
    EXPECT_EQ(full, caption + " [" + std::string(76 - caption.size(), '#') + "]");
    size_t width = 76 - caption.size();
    std::string half = installProgressLine(p, 500, 1000);
    EXPECT_EQ(std::count(half.begin(), half.end(), '#'), long(width / 2));

    p.disabled = 1;
    EXPECT_EQ(installProgressLine(p, 0, 10).substr(0, 30), "installing  (disabled) pkg-1.2");
    p.bundleRef.name = "system";
    EXPECT_EQ(installProgressLine(p, 0, 10).substr(0, 18), "installing system ");
}

TEST(ProgressBar, EmptyOrOverrunTotalDrawsAFullBar) {
    InstalledPackage p("pkg");
    for (auto [pos, total] : {std::pair<uint64_t, uint64_t>{0, 0}, {20, 10}}) {
        std::string line = installProgressLine(p, pos, total);
        EXPECT_EQ(line.size(), 79u);
        std::string bar = line.substr(line.find('[') + 1);
        EXPECT_EQ(bar, std::string(bar.size() - 1, '#') + "]") << line;
    }
    // A caption with no room left draws an empty bar rather than a negative width.
    InstalledPackage longName(std::string(80, 'n'));
    EXPECT_EQ(installProgressLine(longName, 5, 10).substr(11 + 80 + 4), " []");
}

TEST(FailureMessages, ChosenByErrorNumber) {
    CapturedOutput output;
    InstalledPackage p("pkg");
    p.version = makeVersion(1, 0, 0x66, 0);
    errno = ENOSPC;
    reportCreateFailure(Installer::instance(), p, "bin/x");
    errno = EIO;
    reportCreateFailure(Installer::instance(), p, "bin/x");
    errno = EACCES;
    reportCreateFailure(Installer::instance(), p, "bin/x");
    reportBrokenPackage(Installer::instance(), p);
    EXPECT_EQ(output.text(),
              "ERROR: installation of pkg-1.0 failed: disk is too small\n"
              "ERROR: installation of pkg-1.0 failed: disk error\n"
              "ERROR: installation of pkg-1.0 failed: could not create bin/x: Permission denied\n"
              "ERROR: installation of pkg-1.0 failed: broken package\n");
}

}  // namespace
