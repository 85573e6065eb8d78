#include "database_scenario.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine_records.h"
#include "pdb/database.h"
#include "qpk/lib/builder.h"

namespace enginetest {

namespace {

std::string refLines(const std::string& text, bool withWeight) {
    std::string out;
    for (const PackageRef& r : refs(text)) {
        out += r.name + " " + std::to_string(r.minVersion) + " " + std::to_string(r.maxVersion);
        if (withWeight) out += " " + std::to_string(r.weight);
        out += "\n";
    }
    return out;
}

std::string dirOf(const std::string& name) {
    return std::string(DATABASE_ROOT) + name + "/";
}
std::string installedFile(const std::string& name) {
    return "/flash/opt/" + name + "/run";
}

std::string memberImage(const Db& m) {
    qpk::PackageSpec spec;
    spec.name = m.name;
    spec.version = ver(m.version);
    spec.buildTime = 1;
    spec.depends = refs(m.depends);
    spec.provides = refs(m.provides);
    spec.conflicts = refs(m.conflicts);
    return qpk::buildPackage(spec, qpk::SigningKeys{});
}

}  // namespace

DatabaseScenario::DatabaseScenario(const std::vector<Db>& db) {
    root_.mkdirs(DATABASE_ROOT);
    for (const Db& d : db) write(d);
    Installer& context = installer();
    PackageDatabase::open(context, false, "powerpc");
    auto rank = [this](const std::unique_ptr<InstalledPackage>& p) {
        return std::find(order_.begin(), order_.end(), p->name) - order_.begin();
    };
    std::stable_sort(context.packages.begin(), context.packages.end(),
                     [&](const auto& a, const auto& b) { return rank(a) < rank(b); });
    EXPECT_EQ(known(), [this] {
        std::string all;
        for (const std::string& n : order_) all += (all.empty() ? "" : " ") + n;
        return all;
    }()) << "the database did not load as written";
}

void DatabaseScenario::write(const Db& d) {
    const std::string dir = dirOf(d.name);
    if (d.members.empty()) {
        root_.write(dir + "version", std::to_string(ver(d.version)) + " 1\n");
        root_.write(dir + "deps", refLines(d.depends, false));
        if (*d.provides) root_.write(dir + "provides", refLines(d.provides, true));
        if (*d.conflicts) root_.write(dir + "conflicts", refLines(d.conflicts, false));
        root_.write(dir + "files", installedFile(d.name).substr(1) + "\n");
        root_.write(installedFile(d.name), "#!\n");
    } else {
        std::vector<std::string> images;
        for (const Db& m : d.members) {
            write(m);
            images.push_back(memberImage(m));
        }
        qpk::BundleSpec spec;
        spec.name = d.name;
        spec.version = ver(d.version);
        spec.buildTime = 1;
        root_.write(dir + "image", qpk::buildBundle(spec, images));
    }
    const std::string state = d.state;
    if (state == "on(user)") root_.write(dir + "enabled", "user\n");
    if (state == "off(user)") root_.write(dir + "disabled", "user\n");
    if (state == "off(auto)") root_.write(dir + "disabled", "auto\n");
    if (*d.schedule) root_.write("/ram/pdb/" + scheduleKey(d.name) + "/schedule", d.schedule);
    order_.push_back(d.name);
}

std::string DatabaseScenario::states() const {
    std::string out;
    for (const std::string& name : order_) {
        const std::string dir = dirOf(name);
        std::string state;
        if (!root_.exists(dir)) {
            // Members and plain records list one installed file each.
            state = root_.exists(installedFile(name)) ? "gone(files left)" : "gone";
        } else if (root_.exists(dir + "disabled")) {
            std::string text = root_.read(dir + "disabled");
            state = "off(" + text.substr(0, text.find('\n')) + ")";
            if (root_.exists(dir + "enabled")) state += "+enabled";
        } else if (root_.exists(dir + "enabled")) {
            std::string text = root_.read(dir + "enabled");
            state = "on(" + text.substr(0, text.find('\n')) + ")";
        } else {
            state = "on";
        }
        out += (out.empty() ? "" : " ") + name + "=" + state;
    }
    return out;
}

void DatabaseScenario::finishCheck(bool actual, bool result, const std::string& states,
                                   const std::vector<std::string>& messages, const char* what) {
    EXPECT_EQ(actual, result) << what;
    EXPECT_EQ(this->states(), states) << what;
    EXPECT_EQ(installer().messages, messages) << what;
    std::string remaining;
    size_t start = 0;
    while (start < states.size()) {
        size_t end = std::min(states.find(' ', start), states.size());
        std::string item = states.substr(start, end - start);
        size_t eq = item.find('=');
        if (item.compare(eq + 1, std::string::npos, "gone") != 0)
            remaining += (remaining.empty() ? "" : " ") + item.substr(0, eq);
        start = end + 1;
    }
    EXPECT_EQ(known(), remaining) << what;
}

std::string DatabaseScenario::known() const {
    std::string out;
    for (const auto& p : Installer::instance().packages) out += (out.empty() ? "" : " ") + p->name;
    return out;
}

}  // namespace enginetest
