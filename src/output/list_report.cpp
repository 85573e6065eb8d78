#include "output/list_report.h"

#include <ctime>
#include <iomanip>
#include <string>

#include "model/installer.h"
#include "platform/platform.h"

namespace {

constexpr int NAME_WIDTH = 16;
constexpr int VERSION_WIDTH = 13;
constexpr int BUILT_WIDTH = 20;
constexpr int NOTE_WIDTH = 40;
constexpr int RULE_LENGTH = 94;

// Build time as UTC calendar time; empty when it cannot be converted.
std::string builtText(uint32_t buildTime) {
    time_t seconds = time_t(buildTime);
    struct tm calendar;
    if (!gmtime_r(&seconds, &calendar)) return std::string();
    char text[128];
    size_t length = std::strftime(text, sizeof text, "%b/%d/%Y %H:%M:%S", &calendar);
    return std::string(text, length);
}

}  // namespace

// Each item gets its own width, so the result does not depend on whether the
// stream keeps a width beyond one item; the fill side is the stream's own.
void showPackageList(const Installer& installer, std::ostream& out) {
    out << std::setw(NAME_WIDTH) << "Name" << std::setw(0) << "    " << std::setw(VERSION_WIDTH)
        << "Version" << std::setw(0) << " " << std::setw(BUILT_WIDTH) << "Built"
        << std::setw(NOTE_WIDTH) << "Note" << std::endl;
    out << std::string(RULE_LENGTH, '-') << std::endl;
    for (const auto& p : installer.packages()) {
        std::string built = builtText(p->buildTime);
        out << std::setw(NAME_WIDTH) << p->name << std::setw(0) << " " << std::setw(1)
            << (p->disabled ? "X" : " ") << std::setw(2)
            << (p->bundleRef.name.empty() ? "  " : "B ") << std::setw(VERSION_WIDTH)
            << version2string(p->version) << std::setw(0) << " " << std::setw(BUILT_WIDTH) << built
            << std::setw(0) << " " << std::setw(NOTE_WIDTH) << p->note << std::setw(0) << std::endl;
    }
}
