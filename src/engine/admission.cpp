#include "engine/admission.h"

#include <string>
#include <vector>

#include "engine/relations.h"
#include "platform/platform.h"

namespace {

// The package whose minimum system version is enforced: "system" and every
// name that begins with "velmora".
bool isSystemPackage(const std::string& name) {
    return name == "system" || name.compare(0, 7, "velmora") == 0;
}

// Objections are all recorded in the mask; only the first one that the
// caller did not allow is told, and nothing after the flagged-state refusal.
class Objections {
  public:
    Objections(Installer& installer, uint32_t allowance)
        : installer_(installer), allowance_(allowance) {}

    uint32_t mask = 0;

    // Records `bits`; returns true when the caller wants to hear about `bit`
    // and nothing has been said yet.
    bool raise(uint32_t bits, uint32_t bit) {
        mask |= bits;
        if (said_ || (allowance_ & bit)) return false;
        said_ = true;
        return true;
    }
    void silence() { said_ = true; }
    Installer& out() { return installer_; }

  private:
    Installer& installer_;
    uint32_t allowance_;
    bool said_ = false;
};

void checkInstalled(Objections& o, const Package& c, const InstalledPackage& i) {
    std::string candidate = nameWithVersion(c);
    if (o.out().flagged && i.buildTime > c.buildTime) {
        o.mask |= ADMIT_UNMET | ADMIT_CONFLICT;
        o.out().warning("cannot install older %s: router in flagged state", candidate.c_str());
        o.silence();
    }
    int r = compareRelated(c, i);
    if (r < 0) {
        if (o.raise(ADMIT_OLDER, ADMIT_OLDER))
            o.out().warning("omitting package %s: newer package %s is already installed",
                            candidate.c_str(), nameWithVersion(i).c_str());
    } else if (r > 0) {
        o.mask |= ADMIT_NEWER;
    } else if (o.raise(ADMIT_SAME, ADMIT_SAME)) {
        o.out().warning("omitting package %s: it is already installed", candidate.c_str());
    }
}

}  // namespace

uint32_t checkAdmission(Installer& installer, const Package& c, uint32_t allowance) {
    Objections o(installer, allowance);

    // "branding" may always be installed over, in either direction.
    const InstalledPackage* known = findPackage(installer, c.name);
    if (known && known->name == "branding") known = nullptr;
    if (known) checkInstalled(o, c, *known);

    if (isSystemPackage(c.name)) {
        uint32_t minimum = getMinVelmoraVersion();
        if (c.version < minimum && o.raise(ADMIT_UNMET, ADMIT_UNMET))
            installer.error("omitting package %s: min Velmora version is %s",
                            nameWithVersion(c).c_str(), version2string(minimum).c_str());
    }

    if (!c.architecture.empty() && c.architecture != installer.arch &&
        o.raise(ADMIT_UNMET, ADMIT_UNMET))
        installer.error("can not install %s: it is not made for %s, but for %s",
                        nameWithVersion(c).c_str(), installer.arch.c_str(), c.architecture.c_str());

    std::vector<InstalledPackage*> providers;
    for (const PackageRef& d : c.depends) {
        providers.clear();
        findProviders(installer, d, false, providers);
        if (!providers.empty()) continue;
        if (o.raise(ADMIT_UNMET, ADMIT_UNMET))
            installer.error("can not install %s: %s is not installed, but is required",
                            nameWithVersion(c).c_str(), refText(d).c_str());
        break;
    }

    if (const InstalledPackage* k = findConflicting(installer, c)) {
        if (o.raise(ADMIT_CONFLICT, ADMIT_CONFLICT))
            installer.error("can not install %s: it conflicts with %s", nameWithVersion(c).c_str(),
                            nameWithVersion(*k).c_str());
    }
    return o.mask;
}
