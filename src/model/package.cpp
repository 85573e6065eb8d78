#include "model/package.h"

Package Package::headerCopy() const {
    Package copy(name);
    copy.version = version;
    copy.buildTime = buildTime;
    copy.flags = flags;
    copy.text24 = text24;
    copy.architecture = architecture;
    copy.text2 = text2;
    copy.note = note;
    copy.keepsImage = keepsImage;
    copy.depends = depends;
    copy.provides = provides;
    copy.conflicts = conflicts;
    copy.isBundle = isBundle;
    return copy;
}

const char* scheduledActionName(int32_t action) {
    static const char* const names[] = {"", "uninstall", "enable", "disable"};
    if (action < 0 || action > 3) return "";
    return names[action];
}

bool isPlaceholder(const Package& p) {
    return p.version == PLACEHOLDER_VALUE && p.buildTime == PLACEHOLDER_VALUE;
}

std::string nameWithVersion(const Package& p) {
    std::string text = p.name;
    text += '-';
    text += versionText(p.version);
    return text;
}

std::string refText(const PackageRef& ref) {
    std::string text = ref.name;
    if (ref.minVersion != 0) {
        text += '-';
        text += versionText(ref.minVersion);
    }
    return text;
}

std::string displayName(const InstalledPackage& p) {
    if (!p.bundleRef.name.empty()) return refText(p.bundleRef);
    return nameWithVersion(p);
}
