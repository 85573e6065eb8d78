#include <gtest/gtest.h>

#include <sstream>

#include "model/installer.h"
#include "output/list_report.h"
#include "support/temp_root.h"

namespace {

const std::string kHeader = std::string(12, ' ') + "Name" + "    " + std::string(6, ' ') +
                            "Version" + " " + std::string(15, ' ') + "Built" +
                            std::string(36, ' ') + "Note\n";
const std::string kRule = std::string(94, '-') + "\n";

std::string report() {
    std::ostringstream out;
    showPackageList(Installer::instance(), out);
    return out.str();
}

InstalledPackage* add(const std::string& name, Version version, uint32_t buildTime,
                      const std::string& note) {
    auto p = std::make_unique<InstalledPackage>(name);
    p->version = version;
    p->buildTime = buildTime;
    p->note = note;
    return Installer::instance().append(std::move(p));
}

TEST(PackageList, EmptyListIsHeaderAndRule) {
    CapturedOutput output;
    EXPECT_EQ(report(), kHeader + kRule);
    EXPECT_EQ(output.text(), "");
}

TEST(PackageList, RowsInListOrderWithMarksAndUnclippedItems) {
    CapturedOutput output;
    add("system", makeVersion(6, 40, 'f', 1), 1700000000, "base system");
    InstalledPackage* off = add("extra", makeVersion(7, 1, 'c', 0), 0, "");
    off->disabled = 1;
    InstalledPackage* member = add("wifi", makeVersion(6, 41, 'b', 3), 86399, "radio");
    member->bundleRef.name = "corebundle";
    add("a-very-long-package-name", 0, 0, std::string(45, 'n'));
    add("system", makeVersion(6, 40, 'f', 1), 1700000000, "base system");

    const std::string system = std::string(10, ' ') + "system" + "    " + std::string(7, ' ') +
                               "6.40.1" + " " + "Nov/14/2023 22:13:20" + " " +
                               std::string(29, ' ') + "base system\n";
    const std::string expected =
        kHeader + kRule + system +
        // disabled, empty note, build time 0
        std::string(11, ' ') + "extra" + " X  " + std::string(8, ' ') + "7.1rc" + " " +
        "Jan/01/1970 00:00:00" + " " + std::string(40, ' ') + "\n" +
        // enabled bundle member
        std::string(12, ' ') + "wifi" + "  B " + std::string(4, ' ') + "6.41beta3" + " " +
        "Jan/01/1970 23:59:59" + " " + std::string(35, ' ') + "radio\n" +
        // long items push the row on; nothing is cut
        "a-very-long-package-name" + "    " + std::string(10, ' ') + "0.0" + " " +
        "Jan/01/1970 00:00:00" + " " + std::string(45, 'n') + "\n" + system;
    EXPECT_EQ(report(), expected);
}

}  // namespace
