#include <gtest/gtest.h>

#include <filesystem>

#include "model/installer.h"
#include "output/postlog.h"
#include "support/temp_root.h"

namespace {

class PostLogTest : public ::testing::Test {
  protected:
    TempRoot root;
    CapturedOutput output;
    Installer& installer = Installer::instance();
    PostLogTest() { postLogReserved = false; }
    ~PostLogTest() override { postLogReserved = false; }
};

TEST_F(PostLogTest, RunWithoutMessagesLeavesTheLogAlone) {
    writePostLog(installer);
    EXPECT_FALSE(root.exists("/flash/postlog"));
    root.write("/flash/postlog", "old\n");
    installer.quiet = 1;  // a quiet run records nothing
    installer.info("installed %s", "x-1.0");
    writePostLog(installer);
    EXPECT_EQ(root.read("/flash/postlog"), "old\n");
}

TEST_F(PostLogTest, RunWithoutReservationAppends) {
    root.write("/flash/postlog", "A\n");
    installer.info("one");
    installer.warning("two");
    writePostLog(installer);
    EXPECT_EQ(root.read("/flash/postlog"), "A\none\nWARNING: two\n");
    std::filesystem::remove(root.host("/flash/postlog"));
    writePostLog(installer);
    EXPECT_EQ(root.read("/flash/postlog"), "one\nWARNING: two\n");
}

TEST_F(PostLogTest, ReservationHoldsSpaceAndRewritesTheWholeLog) {
    root.write("/flash/postlog", "A\nB\n");
    installer.info("early");
    reservePostLog(installer);
    EXPECT_TRUE(postLogReserved);
    EXPECT_EQ(root.read("/flash/postlog"), std::string(4096, '\0'));
    installer.error("C");
    writePostLog(installer);
    EXPECT_EQ(root.read("/flash/postlog"), "early\nA\nB\nERROR: C\n");
}

TEST_F(PostLogTest, ReservationTakesWholeLinesOnly) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"A\nB", {"A"}},
        {std::string(4096, '\0'), {}},
        {"\n\nx\n", {"", "", "x"}},
        {std::string(20000, 'l') + "\n", {std::string(20000, 'l')}},
    };
    for (const auto& [content, lines] : cases) {
        installer.messages.clear();
        root.write("/flash/postlog", content);
        reservePostLog(installer);
        EXPECT_EQ(installer.messages, lines);
    }
}

TEST_F(PostLogTest, QuietUpgradeStillReservesAndRewrites) {
    installer.quiet = 1;
    root.write("/flash/postlog", "A\nB\n" + std::string(4096, '\0'));
    reservePostLog(installer);
    installer.info("hidden");
    writePostLog(installer);
    EXPECT_EQ(root.read("/flash/postlog"), "A\nB\n");
}

}  // namespace
