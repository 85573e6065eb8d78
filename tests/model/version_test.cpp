#include <gtest/gtest.h>

#include "model/version.h"

namespace {

struct VersionCase {
    Version value;
    const char* text;
};

const VersionCase kCases[] = {
    {makeVersion(6, 40, 0x66, 1), "6.40.1"},    {makeVersion(6, 40, 0x66, 0), "6.40"},
    {makeVersion(6, 41, 0x62, 3), "6.41beta3"}, {makeVersion(7, 1, 0x63, 0), "7.1rc"},
    {makeVersion(7, 1, 0x61, 2), "7.1alpha2"},  {makeVersion(255, 255, 0x66, 255), "255.255.255"},
};

TEST(VersionText, NamedKindsRoundTrip) {
    for (const auto& c : kCases) {
        EXPECT_STREQ(versionText(c.value), c.text);
        Version parsed = 0;
        ASSERT_TRUE(parseVersion(c.text, parsed)) << c.text;
        EXPECT_EQ(parsed, c.value) << c.text;
    }
}

TEST(VersionText, UnnamedKindsAndZero) {
    EXPECT_STREQ(versionText(0), "0.0");
    EXPECT_STREQ(versionText(makeVersion(0, 0, 0, 5)), "0.05");
    EXPECT_STREQ(versionText(makeVersion(1, 2, 0x70, 0)), "1.2");
}

TEST(VersionText, SecondCallOverwritesTheBuffer) {
    const char* first = versionText(makeVersion(6, 40, 0x66, 1));
    versionText(makeVersion(7, 1, 0x63, 0));
    EXPECT_STREQ(first, "7.1rc");
}

TEST(VersionOrder, KindsSortBeforeFinal) {
    Version rc1 = makeVersion(6, 40, 0x63, 1);
    Version final0 = makeVersion(6, 40, 0x66, 0);
    Version patch1 = makeVersion(6, 40, 0x66, 1);
    Version beta9 = makeVersion(6, 40, 0x62, 9);
    EXPECT_LT(beta9, rc1);
    EXPECT_LT(rc1, final0);
    EXPECT_LT(final0, patch1);
    EXPECT_LT(patch1, makeVersion(6, 41, 0x61, 0));
}

TEST(VersionParse, RejectsMalformedText) {
    Version v = 0;
    for (const char* bad :
         {"", "7.", ".1", "7.1gamma", "7.1beta0x", "256.1", "7.1.0", "7.1..2", "7.1beta3x", "-1"}) {
        EXPECT_FALSE(parseVersion(bad, v)) << bad;
    }
    ASSERT_TRUE(parseVersion("0x062E6608", v));
    EXPECT_EQ(v, 0x062E6608u);
    ASSERT_TRUE(parseVersion("103179784", v));
    EXPECT_EQ(v, 103179784u);
}

}  // namespace
