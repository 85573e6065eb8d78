#include "install_fixture.h"

namespace installtest {

namespace {

void putLe(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += char((value >> (8 * i)) & 0xFF);
}

uint32_t getLe32(const std::string& in, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(in[at + size_t(i)]);
    return v;
}

}  // namespace

std::unique_ptr<InstalledPackage> record(const std::string& name, const std::string& provides,
                                         const std::string& conflicts) {
    auto p = std::make_unique<InstalledPackage>(name);
    p->version = enginetest::ver("1.0");
    p->buildTime = 1;
    p->provides = enginetest::refs(provides);
    p->conflicts = enginetest::refs(conflicts);
    return p;
}

std::string withPartAfterHeader(const std::string& file, uint16_t type,
                                const std::string& payload) {
    const size_t afterFirst = 8 + 6 + getLe32(file, 10);
    std::string part;
    putLe(part, type, 2);
    putLe(part, payload.size(), 4);
    part += payload;
    std::string out = file;
    out.insert(afterFirst, part);
    std::string size;
    putLe(size, getLe32(file, 4) + part.size(), 4);
    out.replace(4, 4, size);
    return out;
}

std::string refListPayload(const std::vector<PackageRef>& refs) {
    std::string out;
    putLe(out, refs.size(), 2);
    for (const PackageRef& r : refs) {
        std::string name = r.name;
        name.resize(16, '\0');
        out += name;
        putLe(out, r.minVersion, 4);
        putLe(out, 0, 4);
        putLe(out, r.maxVersion, 4);
        putLe(out, uint32_t(r.weight), 4);
    }
    return out;
}

InstallTest::InstallTest() {
    installer.arch = "i386";
    root.mkdirs("/flash/var/pdb");
    root.mkdirs("/ram");
    root.mkdirs("/rw");
}

int InstallTest::install(const std::string& file, uint32_t allowance, const UserStates& states,
                         std::string* imageDir, uint8_t* bootFlag) {
    std::istringstream in(file);
    return installSet(installer, manifest, in, allowance, states, nullptr, imageDir, bootFlag);
}

void InstallTest::preinstall(const std::string& file) {
    ASSERT_EQ(install(file), SET_OK);
    apply();
    installer.messages.clear();
}

void InstallTest::apply() {
    manifest.apply(false);
    manifest = FileManifest();
}

void InstallTest::fresh() {
    manifest.cancel();
    manifest = FileManifest();
    installer.packages.clear();
    installer.messages.clear();
    installer.progressLine.clear();
}

std::vector<std::string> InstallTest::names() const {
    std::vector<std::string> out;
    for (const auto& p : installer.packages) out.push_back(p->name);
    return out;
}

const InstalledPackage* InstallTest::known(const std::string& name) const {
    return findPackage(installer, name);
}

bool InstallTest::staged(const std::string& prefix) const {
    for (const auto& [target, entry] : manifest.entries())
        if (target.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

}  // namespace installtest
