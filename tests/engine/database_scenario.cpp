#include "database_scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "engine_records.h"
#include "pdb/database.h"
#include "qpk/lib/builder.h"

namespace enginetest {

namespace {

std::string refLines(const std::vector<PackageRef>& list, bool withWeight) {
    std::string out;
    for (const PackageRef& r : list) {
        out += r.name + " " + std::to_string(r.minVersion) + " " + std::to_string(r.maxVersion);
        if (withWeight) out += " " + std::to_string(r.weight);
        out += "\n";
    }
    return out;
}

std::string dirOf(const std::string& name) {
    return std::string(DATABASE_ROOT) + name + "/";
}
// The one installed file of every record that is not a bundle member.
std::string installedFile(const std::string& name) {
    return "/flash/opt/" + name + "/run";
}

std::string memberImage(const InstalledPackage& m) {
    qpk::PackageRecipe file;
    file.name = m.name;
    file.version = m.version;
    file.buildTime = m.buildTime;
    file.depends = m.depends;
    file.provides = m.provides;
    file.conflicts = m.conflicts;
    return qpk::buildPackage(file, qpk::SigningKeys{});
}

}  // namespace

DatabaseScenario::DatabaseScenario(const std::vector<const char*>& lines) {
    root_.mkdirs(DATABASE_ROOT);
    std::map<std::string, std::vector<std::string>> memberImages;
    for (const char* line : lines) {
        std::istringstream words(line);
        std::string rest, state = "on";
        bool isBundle = false;
        for (std::string w; words >> w;) {
            if (w == "bundle")
                isBundle = true;
            else if (w.starts_with("on(") || w.starts_with("off("))
                state = w;
            else
                rest += w + " ";
        }
        InstalledPackage p;
        parse(p, rest);
        const std::string dir = dirOf(p.name);
        if (isBundle) {
            qpk::BundleRecipe file;
            file.name = p.name;
            file.version = p.version;
            file.buildTime = p.buildTime;
            root_.write(dir + "image", qpk::buildBundle(file, memberImages[p.name]));
        } else {
            // Members get meta files too, as installing a bundle leaves them.
            root_.write(dir + "version",
                        std::to_string(p.version) + " " + std::to_string(p.buildTime) + "\n");
            root_.write(dir + "deps", refLines(p.depends, false));
            if (!p.provides.empty()) root_.write(dir + "provides", refLines(p.provides, true));
            if (!p.conflicts.empty()) root_.write(dir + "conflicts", refLines(p.conflicts, false));
            // A member's record comes from its bundle's image, which lists no
            // installed files; so it gets none here.
            if (p.bundleRef.name.empty()) {
                root_.write(dir + "files", installedFile(p.name).substr(1) + "\n");
                root_.write(installedFile(p.name), "#!\n");
            } else {
                memberImages[p.bundleRef.name].push_back(memberImage(p));
            }
        }
        if (state != "on") {
            const bool off = state[1] == 'f';
            std::string word = state.substr(off ? 4 : 3);
            word.pop_back();
            root_.write(dir + (off ? "disabled" : "enabled"), word + "\n");
        }
        if (p.scheduledAction != ACTION_NONE)
            root_.write("/ram/pdb/" + scheduleKey(p.name) + "/schedule",
                        scheduledActionName(p.scheduledAction));
        names_.push_back(p.name);
    }

    Installer& context = installer();
    PackageDatabase::open(context, false, "powerpc");
    auto rank = [this](const std::unique_ptr<InstalledPackage>& p) {
        return std::find(names_.begin(), names_.end(), p->name) - names_.begin();
    };
    std::stable_sort(context.packages.begin(), context.packages.end(),
                     [&](const auto& a, const auto& b) { return rank(a) < rank(b); });
    std::string all;
    for (const std::string& n : names_) all += (all.empty() ? "" : " ") + n;
    EXPECT_EQ(known(), all) << "the database did not load as written";
}

std::string DatabaseScenario::states() const {
    std::string out;
    for (const std::string& name : names_) {
        const std::string dir = dirOf(name);
        std::string state;
        if (!root_.exists(dir)) {
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

std::string DatabaseScenario::known() const {
    std::string out;
    for (const auto& p : Installer::instance().packages) out += (out.empty() ? "" : " ") + p->name;
    return out;
}

void DatabaseScenario::finishCheck(bool actual, bool result, const std::string& states,
                                   const std::vector<std::string>& messages,
                                   const std::string& what) {
    EXPECT_EQ(actual, result) << what;
    EXPECT_EQ(this->states(), states) << what;
    EXPECT_EQ(installer().messages, messages) << what;
    std::string remaining;
    std::istringstream items(states);
    for (std::string item; items >> item;)
        if (!item.ends_with("=gone"))
            remaining += (remaining.empty() ? "" : " ") + item.substr(0, item.find('='));
    EXPECT_EQ(known(), remaining) << what;
}

}  // namespace enginetest
