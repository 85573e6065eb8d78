#include <gtest/gtest.h>

#include "model/version.h"

namespace {

TEST(Version, TextAndParseAreInverse) {
    const std::pair<Version, const char*> named[] = {
        {makeVersion(6, 40, 0x66, 1), "6.40.1"},
        {makeVersion(6, 40, 0x66, 0), "6.40"},
        {makeVersion(6, 41, 0x62, 3), "6.41beta3"},
        {makeVersion(7, 1, 0x63, 0), "7.1rc"},
        {makeVersion(7, 1, 0x61, 2), "7.1alpha2"},
        {makeVersion(255, 255, 0x66, 255), "255.255.255"},
    };
    for (const auto& [value, text] : named) {
        EXPECT_STREQ(versionText(value), text);
        Version parsed = 0;
        EXPECT_TRUE(parseVersion(text, parsed) && parsed == value) << text;
    }
    // Plain numbers parse too; kinds without a word print as bare numbers.
    Version v = 0;
    EXPECT_TRUE(parseVersion("0x062E6608", v) && v == 0x062E6608u);
    EXPECT_TRUE(parseVersion("103179784", v) && v == 103179784u);
    EXPECT_STREQ(versionText(0), "0.0");
    EXPECT_STREQ(versionText(makeVersion(0, 0, 0, 5)), "0.05");
    EXPECT_STREQ(versionText(makeVersion(1, 2, 0x70, 0)), "1.2");
    for (const char* bad :
         {"", "7.", ".1", "7.1gamma", "7.1beta0x", "256.1", "7.1.0", "7.1..2", "7.1beta3x", "-1"})
        EXPECT_FALSE(parseVersion(bad, v)) << bad;
}

}  // namespace
