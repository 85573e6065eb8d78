#include "engine_records.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "engine/flagged.h"

namespace enginetest {

Version ver(const std::string& text) {
    if (text.empty()) return 0;
    Version v = 0;
    EXPECT_TRUE(parseVersion(text, v)) << "bad version in test data: " << text;
    return v;
}

std::vector<PackageRef> refs(const std::string& text) {
    std::vector<PackageRef> out;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t colon; (colon = word.find(':', start)) != std::string::npos; start = colon + 1)
            fields.push_back(word.substr(start, colon - start));
        fields.push_back(word.substr(start));
        fields.resize(4);
        PackageRef r;
        r.name = fields[0];
        r.minVersion = ver(fields[1]);
        r.maxVersion = ver(fields[2]);
        r.weight = fields[3].empty() ? 0 : std::atoi(fields[3].c_str());
        out.push_back(r);
    }
    return out;
}

void fill(Package& p, const Rec& r) {
    p.name = r.name;
    p.version = ver(r.version);
    p.buildTime = r.built;
    p.depends = refs(r.depends);
    p.provides = refs(r.provides);
    p.conflicts = refs(r.conflicts);
    p.architecture = r.arch;
}

std::unique_ptr<Package> pkg(const Rec& r) {
    auto p = std::make_unique<Package>();
    fill(*p, r);
    return p;
}

std::unique_ptr<InstalledPackage> installed(const Rec& r) {
    auto p = std::make_unique<InstalledPackage>();
    fill(*p, r);
    return p;
}

std::unique_ptr<Package> placeholder(const char* name) {
    auto p = std::make_unique<Package>(name);
    p->version = PLACEHOLDER_VALUE;
    p->buildTime = PLACEHOLDER_VALUE;
    return p;
}

std::unique_ptr<Package> bundle(const Rec& r, std::vector<Rec> members) {
    auto b = pkg(r);
    b->isBundle = 1;
    for (const Rec& m : members) b->members.push_back(pkg(m));
    return b;
}

PlatformGuard::PlatformGuard() : savedFlagged_(flaggedState) {
    flaggedState = 0;
    ::unsetenv("VELMORA_MIN_VERSION");
}

PlatformGuard::~PlatformGuard() {
    flaggedState = savedFlagged_;
    ::unsetenv("VELMORA_MIN_VERSION");
}

void PlatformGuard::flagged(bool on) {
    flaggedState = on ? 1 : 0;
}

void PlatformGuard::minVersion(const char* text) {
    if (text)
        ::setenv("VELMORA_MIN_VERSION", text, 1);
    else
        ::unsetenv("VELMORA_MIN_VERSION");
}

}  // namespace enginetest
