#include "e2e/runner.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "model/version.h"
#include "qpk/lib/builder.h"
#include "qpk/lib/signer.h"
#include "support/run.h"
#include "support/temp_root.h"

namespace scenario {

namespace {

namespace stdfs = std::filesystem;

// Removes what a chroot run left below `root`, given the tops that did not
// exist before: links and the empty cache file are unlinked, directories are
// only rmdir'ed along the paths that were made, so nothing that could still
// be a mount, or hold anything, is touched.
void removeMountPoints(const std::string& root, const std::vector<std::string>& created) {
    auto made = [&](const std::string& path) {
        for (const std::string& top : created)
            if (path == top || path.rfind(top + "/", 0) == 0) return true;
        return false;
    };
    std::string cache = root + "/etc/ld.so.cache";
    struct stat st;
    if (::lstat(cache.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
        ::unlink(cache.c_str());
    std::vector<std::string> dirs = chrootHostDirectories(INSTALLER_BINARY);
    dirs.push_back("/etc");
    for (std::string dir : dirs) {
        if (!made(dir)) continue;
        std::string inside = root + dir;
        if (::lstat(inside.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            ::unlink(inside.c_str());
            continue;
        }
        // The directory and then each parent that was made for it.
        while (made(dir)) {
            ::rmdir((root + dir).c_str());
            dir = dir.substr(0, dir.rfind('/'));
        }
    }
}

// ---- package options -------------------------------------------------------

bool parseBool(const std::string& text, bool& out) {
    if (text == "yes") {
        out = true;
    } else if (text == "no") {
        out = false;
    } else {
        return false;
    }
    return true;
}

bool parseNumber(const std::string& text, uint32_t& out) {
    if (text.empty() || text.find_first_not_of("0123456789xabcdefABCDEF") != std::string::npos)
        return false;
    try {
        size_t used = 0;
        unsigned long long v = std::stoull(text, &used, 0);
        if (used != text.size() || v > 0xFFFFFFFFull) return false;
        out = uint32_t(v);
        return true;
    } catch (...) {
        return false;
    }
}

std::vector<std::string> splitOn(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t at = text.find(sep, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

bool parseVersionOrZero(const std::string& text, Version& out) {
    out = 0;
    return text.empty() || parseVersion(text, out);
}

// "name[:min[:max[:weight]]],..." with versions as text ("7.1").
bool parseRefs(const std::string& text, std::vector<PackageRef>& out, std::string& error) {
    if (text.empty()) return true;
    for (const std::string& item : splitOn(text, ',')) {
        std::vector<std::string> f = splitOn(item, ':');
        PackageRef ref;
        ref.name = f[0];
        if (f.size() > 4 || ref.name.empty() ||
            (f.size() > 1 && !parseVersionOrZero(f[1], ref.minVersion)) ||
            (f.size() > 2 && !parseVersionOrZero(f[2], ref.maxVersion))) {
            error = "bad reference \"" + item + "\"";
            return false;
        }
        if (f.size() > 3) {
            try {
                ref.weight = std::stoi(f[3]);
            } catch (...) {
                error = "bad weight in \"" + item + "\"";
                return false;
            }
        }
        out.push_back(ref);
    }
    return true;
}

// "TYPE:PAYLOAD" for a raw part.
bool parseRawPart(const std::string& text, qpk::RawPart& out) {
    size_t colon = text.find(':');
    uint32_t type = 0;
    if (colon == std::string::npos || !parseNumber(text.substr(0, colon), type) || type > 0xFFFF)
        return false;
    out.type = uint16_t(type);
    out.payload = text.substr(colon + 1);
    return true;
}

bool buildBlob(const std::vector<std::string>& words,
               const std::map<std::string, std::string>& blobs, std::string& out,
               std::string& error) {
    std::vector<std::pair<std::string, std::string>> options;
    bool bundle = false;
    for (size_t k = 1; k < words.size(); ++k) {
        size_t eq = words[k].find('=');
        options.emplace_back(words[k].substr(0, eq), words[k].substr(eq + 1));
        if (options.back().first == "bundle-of") bundle = true;
    }
    qpk::PackageRecipe recipe;
    qpk::BundleRecipe brecipe;
    std::vector<std::string> members;
    bool haveVersion = false, signedPackage = true;
    uint32_t cut = 0;
    for (const auto& [key, value] : options) {
        bool ok = true, flag = false;
        if (key == "name") {
            recipe.name = brecipe.name = value;
        } else if (key == "version") {
            ok = parseVersion(value, recipe.version);
            brecipe.version = recipe.version;
            haveVersion = true;
        } else if (key == "build-time") {
            ok = parseNumber(value, recipe.buildTime);
            brecipe.buildTime = recipe.buildTime;
        } else if (key == "flags") {
            ok = parseNumber(value, recipe.flags);
            brecipe.flags = recipe.flags;
        } else if (key == "keep-image") {
            recipe.keepImagePayload = brecipe.keepImagePayload = value;
        } else if (key == "arch") {
            recipe.architecture = brecipe.architecture = value;
        } else if (key == "cut") {
            ok = parseNumber(value, cut);
        } else if (bundle && key == "bundle-of") {
            for (const std::string& m : splitOn(value, ',')) {
                auto it = blobs.find(m);
                if (it == blobs.end()) {
                    error = "bundle member \"" + m + "\" is not built yet";
                    return false;
                }
                members.push_back(it->second);
            }
        } else if (bundle && key == "default-disabled") {
            ok = parseRefs(value, brecipe.defaultDisabled, error);
        } else if (bundle && key == "after-members") {
            brecipe.partsAfterMembers.emplace_back();
            ok = parseRawPart(value, brecipe.partsAfterMembers.back());
        } else if (bundle) {
            ok = false;
        } else if (key == "note") {
            recipe.note = value;
        } else if (key == "text24") {
            recipe.text24 = value;
        } else if (key == "text2") {
            recipe.text2 = value;
        } else if (key == "depends") {
            ok = parseRefs(value, recipe.depends, error);
        } else if (key == "provides") {
            ok = parseRefs(value, recipe.provides, error);
        } else if (key == "conflicts") {
            ok = parseRefs(value, recipe.conflicts, error);
        } else if (key == "file" || key == "exec") {
            // NAME:CONTENTS; the contents may hold further colons.
            size_t colon = value.find(':');
            ok = colon != std::string::npos;
            if (ok)
                recipe.files.push_back({value.substr(0, colon),
                                        uint16_t(key == "exec" ? 0100755 : 0100644),
                                        value.substr(colon + 1), 0});
        } else if (key == "dirent") {
            recipe.files.push_back({value, 040755, "", 0});
        } else if (key == "flags-word") {
            ok = parseBool(value, recipe.withFlagsWord);
        } else if (key == "sha256") {
            ok = parseBool(value, recipe.sha256);
        } else if (key == "unrecorded") {
            ok = parseBool(value, recipe.unrecorded);
        } else if (key == "signed") {
            ok = parseBool(value, signedPackage);
        } else if (key == "signature") {
            ok = parseBool(value, flag);
            recipe.withSignature = flag;
        } else if (key == "after-signature") {
            recipe.partsAfterSignature.emplace_back();
            ok = parseRawPart(value, recipe.partsAfterSignature.back());
        } else {
            ok = false;
        }
        if (!ok) {
            if (error.empty()) error = "bad package option \"" + key + "=" + value + "\"";
            return false;
        }
    }
    if (recipe.name.empty() || !haveVersion) {
        error = "a package needs name= and version=";
        return false;
    }
    if (bundle) {
        out = qpk::buildBundle(brecipe, members);
    } else {
        out =
            qpk::buildPackage(recipe, signedPackage ? qpk::developmentKeys() : qpk::SigningKeys());
    }
    if (out.empty()) {
        error = "the builder made no package";
        return false;
    }
    if (cut > out.size()) {
        error = "cut= is larger than the package (" + std::to_string(out.size()) + " bytes)";
        return false;
    }
    out.resize(out.size() - cut);
    return true;
}

// ---- the root --------------------------------------------------------------

bool parseSize(const std::string& text, std::string& out) {
    if (text.empty() || text.find_first_not_of("0123456789") == 0) return false;
    size_t digits = text.find_first_not_of("0123456789");
    std::string unit = digits == std::string::npos ? "" : text.substr(digits);
    if (unit != "" && unit != "k" && unit != "K" && unit != "m" && unit != "M") return false;
    out = text;
    return true;
}

bool readHostFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

// Every path below `dir`, relative to it, sorted byte-wise: directories with
// a trailing "/", symbolic links as "name -> text".
std::vector<std::string> listTree(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = stdfs::recursive_directory_iterator(dir, ec);
         !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
        std::string rel = it->path().string().substr(dir.size() + 1);
        if (it->is_symlink()) {
            rel += " -> " + stdfs::read_symlink(it->path(), ec).string();
        } else if (it->is_directory()) {
            rel += "/";
        }
        out.push_back(rel);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Longest-common-subsequence line diff.
std::string lineDiff(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    size_t n = a.size(), m = b.size();
    std::vector<std::vector<unsigned>> lcs(n + 1, std::vector<unsigned>(m + 1, 0));
    for (size_t i = n; i-- > 0;)
        for (size_t j = m; j-- > 0;)
            lcs[i][j] =
                a[i] == b[j] ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
    std::string out;
    size_t i = 0, j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && a[i] == b[j]) {
            out += "    " + a[i++] + "\n";
            ++j;
        } else if (j < m && (i == n || lcs[i][j + 1] >= lcs[i + 1][j])) {
            out += "  + " + b[j++] + "\n";
        } else {
            out += "  - " + a[i++] + "\n";
        }
    }
    return out;
}

// Lines matched in order against glob patterns.
bool linesMatch(const std::vector<std::string>& patterns, const std::vector<std::string>& actual) {
    if (patterns.size() != actual.size()) return false;
    for (size_t i = 0; i < actual.size(); ++i) {
        if (patterns[i] != actual[i] && ::fnmatch(patterns[i].c_str(), actual[i].c_str(), 0) != 0)
            return false;
    }
    return true;
}

std::vector<std::string> textLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// Removes the tmpfs mounts of a scenario when it ends, before the temporary
// root is deleted.
struct Mounts {
    std::vector<std::string> points;
    ~Mounts() {
        for (auto it = points.rbegin(); it != points.rend(); ++it)
            ::umount2(it->c_str(), MNT_DETACH);
    }
};

class Execution {
  public:
    Execution(const Scenario& s, RunAs as, std::vector<Patch>* patches)
        : s_(s), as_(as), patches_(patches) {}

    std::vector<Failure> run() {
        if (!s_.bare) defaultLayout();
        for (const Directive& d : s_.directives) {
            if (!step(d)) break;  // a setup failure makes the rest meaningless
        }
        finishRun();
        return failures_;
    }

  private:
    const Scenario& s_;
    RunAs as_;
    std::vector<Patch>* patches_;
    TempRoot root_;
    Mounts mounts_;
    std::map<std::string, std::string> blobs_;
    std::vector<Failure> failures_;

    // The last run and which of its results were checked.
    bool ran_ = false;
    const Directive* lastRun_ = nullptr;
    RunResult last_;
    bool statusSeen_ = false, stdoutSeen_ = false, stderrSeen_ = false;

    void fail(const Directive& d, const std::string& message) {
        failures_.push_back({d.line, message});
    }
    void fail(int line, const std::string& message) { failures_.push_back({line, message}); }

    std::string host(const std::string& inside) const { return root_.host(inside); }

    void defaultLayout() {
        for (const char* dir : {"/ram", "/tmp", "/flash/var/pdb"}) root_.mkdirs(dir);
    }

    bool step(const Directive& d) {
        const std::string& k = d.keyword;
        const std::vector<std::string>& w = d.words;
        if (k == "tmpfs") {
            std::string size;
            if (!parseSize(w[1], size)) {
                fail(d, "bad tmpfs size \"" + w[1] + "\"");
                return false;
            }
            root_.mkdirs(w[0]);
            std::string options = "size=" + size + ",mode=0755";
            if (::mount("tmpfs", host(w[0]).c_str(), "tmpfs", 0, options.c_str()) != 0) {
                fail(d, "cannot mount a tmpfs at " + w[0] + ": " + std::strerror(errno));
                return false;
            }
            mounts_.points.push_back(host(w[0]));
            if (!s_.bare) defaultLayout();
        } else if (k == "package") {
            std::string bytes, error;
            if (!buildBlob(w, blobs_, bytes, error)) {
                fail(d, "package " + w[0] + ": " + error);
                return false;
            }
            blobs_[w[0]] = bytes;
        } else if (k == "place") {
            auto it = blobs_.find(w[0]);
            if (it == blobs_.end()) {
                fail(d, "no package \"" + w[0] + "\" was built");
                return false;
            }
            root_.write(w[1], it->second);
        } else if (k == "file") {
            root_.write(w[0], d.text);
            if (root_.read(w[0]) != d.text || !root_.exists(w[0])) {
                fail(d, "cannot write " + w[0]);
                return false;
            }
        } else if (k == "dir") {
            root_.mkdirs(w[0]);
        } else if (k == "symlink") {
            root_.symlink(w[1], w[0]);
        } else if (k == "remove") {
            std::error_code ec;
            stdfs::remove_all(host(w[0]), ec);
        } else if (k == "run") {
            return runInstaller(d);
        } else if (k == "status" || k == "stdout" || k == "stderr") {
            if (!ran_) {
                fail(d, k + " before any run");
                return false;
            }
            checkResult(d);
        } else {
            checkExpectation(d);
        }
        return true;
    }

    bool runInstaller(const Directive& d) {
        finishRun();
        std::vector<std::string> env, args;
        std::string input;
        bool inChroot = false;
        size_t i = 0;
        for (; i < d.words.size() && d.words[i] != "--"; ++i) {
            const std::string& word = d.words[i];
            if (word == "chroot") {
                inChroot = true;
            } else if (word == "env" && i + 1 < d.words.size() &&
                       d.words[i + 1].find('=') != std::string::npos) {
                env.push_back(d.words[++i]);
            } else if (word.rfind("stdin=", 0) == 0) {
                auto it = blobs_.find(word.substr(6));
                if (it == blobs_.end()) {
                    fail(d, "no package \"" + word.substr(6) + "\" was built");
                    return false;
                }
                input = it->second;
            } else {
                fail(d, "unknown run option \"" + word + "\"");
                return false;
            }
        }
        bool rootGiven = false, commands = false;
        for (++i; i < d.words.size(); ++i) {
            const std::string& word = d.words[i];
            rootGiven = rootGiven || word == "ROOT";
            commands = commands || word == "--commit" || word == "--cancel";
            args.push_back(word == "ROOT" ? root_.path() : word);
        }
        // Outside a chroot the installer must be pointed at the scenario's
        // root; --commit and --cancel act before -r takes effect, so they
        // would reach the test machine's own /ram.
        if (!inChroot && (!rootGiven || commands)) {
            fail(d, "this run would reach the test machine's root; use \"run chroot\"");
            return false;
        }
        RunOptionsForTest options;
        options.stdinData = input;
        for (const std::string& e : env)
            options.env.emplace(e.substr(0, e.find('=')), e.substr(e.find('=') + 1));
        std::vector<std::string> created;
        if (inChroot) {
            options.chrootDir = root_.path();
            // The shallowest part of each path that the run will make.
            for (const std::string& dir : chrootHostDirectories(INSTALLER_BINARY)) {
                for (size_t end = dir.find('/', 1);; end = dir.find('/', end + 1)) {
                    std::string top = dir.substr(0, end);
                    if (!root_.exists(top)) {
                        created.push_back(top);
                        break;
                    }
                    if (end == std::string::npos) break;
                }
            }
            if (!root_.exists("/etc")) created.push_back("/etc");
        }
        if (as_ == RunAs::Nobody) {
            // The installer owns the flash on a router.
            giveTreeTo(root_.path(), NOBODY_UID);
            options.runAsUser = NOBODY_UID;
        }
        last_ = ::runInstaller(args, options);
        if (inChroot) removeMountPoints(root_.path(), created);
        if (last_.status == 126 || last_.status == 127) {
            fail(d, "the installer could not be started (" + std::string(INSTALLER_BINARY) +
                        (as_ == RunAs::Nobody ? ", as nobody)" : ")"));
            return false;
        }
        ran_ = true;
        lastRun_ = &d;
        statusSeen_ = stdoutSeen_ = stderrSeen_ = false;
        return true;
    }

    // Results that the scenario did not state must be the defaults: status
    // 0 and no output at all.
    void finishRun() {
        if (!ran_) return;
        int at = lastRun_->lastLine;
        if (!statusSeen_ && last_.status != 0) {
            fail(lastRun_->line, "exit status " + std::to_string(last_.status) + ", expected 0");
            addPatch(at, at, {"status " + std::to_string(last_.status)});
        }
        if (!stdoutSeen_ && !last_.out.empty()) {
            fail(lastRun_->line,
                 "unexpected standard output:\n" + describeDifference("", last_.out));
            addPatch(at, at, textDirective("stdout", last_.out));
        }
        if (!stderrSeen_ && !last_.err.empty()) {
            fail(lastRun_->line,
                 "unexpected standard error:\n" + describeDifference("", last_.err));
            addPatch(at, at, textDirective("stderr", last_.err));
        }
        ran_ = false;
    }

    void addPatch(int from, int to, std::vector<std::string> lines) {
        if (patches_) patches_->push_back({from, to, std::move(lines)});
    }

    void checkResult(const Directive& d) {
        if (d.keyword == "status") {
            statusSeen_ = true;
            if (std::to_string(last_.status) != d.words[0]) {
                fail(d, "exit status " + std::to_string(last_.status) + ", expected " + d.words[0]);
                addPatch(d.line - 1, d.lastLine, {"status " + std::to_string(last_.status)});
            }
            return;
        }
        bool out = d.keyword == "stdout";
        (out ? stdoutSeen_ : stderrSeen_) = true;
        const std::string& actual = out ? last_.out : last_.err;
        if (actual != d.text) {
            fail(d, std::string(out ? "standard output" : "standard error") +
                        " differs (- expected, + actual):\n" + describeDifference(d.text, actual));
            addPatch(d.line - 1, d.lastLine, textDirective(d.keyword, actual));
        }
    }

    void checkExpectation(const Directive& d) {
        const std::string& k = d.keyword;
        const std::string& path = d.words[0];
        std::string p = host(path);
        struct stat st;
        bool present = ::lstat(p.c_str(), &st) == 0;
        if (k == "expect-absent") {
            if (present) fail(d, path + " exists");
            return;
        }
        if (!present) {
            fail(d, path + " is missing");
            return;
        }
        if (k == "expect-file" || k == "expect-same") {
            std::string content, expected = d.text;
            if (k == "expect-same") {
                auto it = blobs_.find(d.words[1]);
                if (it == blobs_.end()) {
                    fail(d, "no package \"" + d.words[1] + "\" was built");
                    return;
                }
                expected = it->second;
            }
            if (!S_ISREG(st.st_mode) || !readHostFile(p, content)) {
                fail(d, path + " is not a readable regular file");
            } else if (content != expected && k == "expect-same") {
                fail(d, path + " differs from package " + d.words[1] + " (" +
                            std::to_string(content.size()) + " bytes, expected " +
                            std::to_string(expected.size()) + ")");
            } else if (content != expected) {
                fail(d, path + " differs (- expected, + actual):\n" +
                            describeDifference(expected, content));
            }
        } else if (k == "expect-link") {
            std::error_code ec;
            std::string text = S_ISLNK(st.st_mode) ? stdfs::read_symlink(p, ec).string() : "";
            if (!S_ISLNK(st.st_mode)) {
                fail(d, path + " is not a symbolic link");
            } else if (text != d.words[1]) {
                fail(d, path + " points to \"" + text + "\", expected \"" + d.words[1] + "\"");
            }
        } else if (k == "expect-mode") {
            char actual[16];
            std::snprintf(actual, sizeof actual, "%o", unsigned(st.st_mode & 07777));
            if (d.words[1] != actual)
                fail(d, path + " has mode " + actual + ", expected " + d.words[1]);
        } else if (k == "expect-match") {
            std::string content;
            readHostFile(p, content);
            std::vector<std::string> actual = textLines(content);
            std::vector<std::string> patterns = textLines(d.text);
            if (!linesMatch(patterns, actual))
                fail(d, path + " differs (- expected, + actual):\n" + lineDiff(patterns, actual));
        } else if (k == "expect-tree") {
            std::vector<std::string> actual = listTree(p);
            std::vector<std::string> patterns = textLines(d.text);
            if (!linesMatch(patterns, actual)) {
                fail(d, "tree of " + path + " differs (- expected, + actual):\n" +
                            lineDiff(patterns, actual));
                std::vector<std::string> lines = {"expect-tree " + path + " <<END"};
                lines.insert(lines.end(), actual.begin(), actual.end());
                lines.push_back("END");
                addPatch(d.line - 1, d.lastLine, lines);
            }
        }
    }
};

}  // namespace

std::vector<Failure> runScenario(const Scenario& s, RunAs as, std::vector<Patch>* patches) {
    Execution execution(s, as, patches);
    return execution.run();
}

bool applyPatches(const std::string& path, std::vector<Patch> patches) {
    std::string text;
    if (!readHostFile(path, text)) return false;
    std::vector<std::string> lines = textLines(text);
    // Bottom up. At one place a replacement goes first, then the insertions,
    // the later one first so that the earlier one ends up above it.
    std::vector<size_t> order(patches.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const Patch& x = patches[a];
        const Patch& y = patches[b];
        if (x.from != y.from) return x.from > y.from;
        if (x.to != y.to) return x.to > y.to;
        return a > b;
    });
    for (size_t index : order) {
        const Patch& p = patches[index];
        if (p.from < 0 || p.to > int(lines.size()) || p.from > p.to) return false;
        lines.erase(lines.begin() + p.from, lines.begin() + p.to);
        lines.insert(lines.begin() + p.from, p.lines.begin(), p.lines.end());
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const std::string& l : lines) out << l << "\n";
    return bool(out);
}

std::string describeDifference(const std::string& expected, const std::string& actual) {
    return lineDiff(encodeLines(expected), encodeLines(actual));
}

}  // namespace scenario
