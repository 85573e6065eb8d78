#include "engine_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
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
        std::string fields[4];
        std::istringstream parts(word);
        for (std::string& f : fields) std::getline(parts, f, ':');
        PackageRef r;
        r.name = fields[0];
        r.minVersion = ver(fields[1]);
        r.maxVersion = ver(fields[2]);
        r.weight = fields[3].empty() ? 0 : std::atoi(fields[3].c_str());
        out.push_back(r);
    }
    return out;
}

namespace {

std::vector<PackageRef> refList(std::string text) {
    std::replace(text.begin(), text.end(), ',', ' ');
    return refs(text);
}

int32_t actionNamed(const std::string& name) {
    for (int32_t a = ACTION_UNINSTALL; a <= ACTION_DISABLE; ++a)
        if (name == scheduledActionName(a)) return a;
    ADD_FAILURE() << "bad action in test data: " << name;
    return ACTION_NONE;
}

// The rest of `word` when it begins with `key`.
bool keyed(const std::string& word, const char* key, std::string& value) {
    const size_t n = std::strlen(key);
    if (word.compare(0, n, key) != 0) return false;
    value = word.substr(n);
    return true;
}

}  // namespace

void parse(Package& p, const std::string& line) {
    std::istringstream words(line);
    words >> p.name;
    p.version = ver("1.0");
    p.buildTime = 1;
    auto* ip = dynamic_cast<InstalledPackage*>(&p);
    std::string v;
    for (std::string w; words >> w;) {
        if (std::isdigit(static_cast<unsigned char>(w[0])))
            p.version = ver(w);
        else if (keyed(w, "@", v))
            p.buildTime = uint32_t(std::strtoul(v.c_str(), nullptr, 10));
        else if (w == "placeholder")
            p.version = p.buildTime = PLACEHOLDER_VALUE;
        else if (keyed(w, "dep=", v))
            p.depends = refList(v);
        else if (keyed(w, "prov=", v))
            p.provides = refList(v);
        else if (keyed(w, "conf=", v))
            p.conflicts = refList(v);
        else if (keyed(w, "arch=", v))
            p.architecture = v;
        else if (ip && w == "off")
            ip->disabled = 1;
        else if (ip && w == "user")
            ip->userState = 1;
        else if (ip && keyed(w, "do=", v))
            ip->scheduledAction = actionNamed(v);
        else if (ip && keyed(w, "in=", v))
            ip->bundleRef.name = v;
        else
            ADD_FAILURE() << "bad word in test data: " << w;
    }
}

std::unique_ptr<Package> pkg(const char* line) {
    auto p = std::make_unique<Package>();
    parse(*p, line);
    return p;
}

std::unique_ptr<InstalledPackage> installed(const char* line) {
    auto p = std::make_unique<InstalledPackage>();
    parse(*p, line);
    return p;
}

std::unique_ptr<Package> bundle(const char* line, const std::vector<const char*>& members) {
    auto b = pkg(line);
    b->isBundle = 1;
    for (const char* m : members) b->members.push_back(pkg(m));
    return b;
}

void addInstalled(Installer& installer, const std::vector<const char*>& lines) {
    for (const char* line : lines) installer.append(installed(line));
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
