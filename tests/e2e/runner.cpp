#include "e2e/runner.h"

#include <fnmatch.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "support/packages.h"
#include "support/run.h"
#include "support/temp_root.h"
#include "support/tree.h"

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
        if (::lstat((root + dir).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            ::unlink((root + dir).c_str());
            continue;
        }
        for (; made(dir); dir = dir.substr(0, dir.rfind('/'))) ::rmdir((root + dir).c_str());
    }
}

std::vector<std::string> textLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// Lines matched in order against glob patterns.
bool linesMatch(const std::vector<std::string>& patterns, const std::vector<std::string>& actual) {
    if (patterns.size() != actual.size()) return false;
    for (size_t i = 0; i < actual.size(); ++i)
        if (patterns[i] != actual[i] && ::fnmatch(patterns[i].c_str(), actual[i].c_str(), 0) != 0)
            return false;
    return true;
}

// Longest-common-subsequence line diff, for failure messages.
std::string lineDiff(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    size_t n = a.size(), m = b.size();
    std::vector<std::vector<unsigned>> lcs(n + 1, std::vector<unsigned>(m + 1, 0));
    for (size_t i = n; i-- > 0;)
        for (size_t j = m; j-- > 0;)
            lcs[i][j] =
                a[i] == b[j] ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
    std::string out;
    for (size_t i = 0, j = 0; i < n || j < m;) {
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

// The output without its progress redraws (each drawn between hiding and
// showing the cursor).
std::string withoutProgress(std::string out) {
    for (size_t at; (at = out.find("\x1B[?25l")) != std::string::npos;) {
        size_t end = out.find("\x1B[?25h", at);
        out.erase(at, end == std::string::npos ? end : end + 6 - at);
    }
    return out;
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
    Execution(const Scenario& s, RunAs as) : s_(s), as_(as) {}

    std::vector<Failure> run() {
        if (!s_.bare) defaultLayout();
        for (const Directive& d : s_.directives)
            if (!step(d)) break;  // a setup failure makes the rest meaningless
        finishRun();
        return failures_;
    }

  private:
    const Scenario& s_;
    RunAs as_;
    TempRoot root_;
    Mounts mounts_;
    std::map<std::string, std::string> blobs_;
    std::vector<Failure> failures_;

    // The last run, which of its results were checked, and the tree before it.
    bool ran_ = false;
    const Directive* lastRun_ = nullptr;
    RunResult last_;
    bool statusSeen_ = false, stdoutSeen_ = false, stderrSeen_ = false;
    tree::Snapshot before_;

    void fail(int line, const std::string& message) { failures_.push_back({line, message}); }
    std::string host(const std::string& inside) const { return root_.host(inside); }
    void defaultLayout() {
        for (const char* dir : {"/ram", "/tmp", "/flash/var/pdb"}) root_.mkdirs(dir);
    }
    const std::string* blob(const Directive& d, const std::string& name) {
        auto it = blobs_.find(name);
        if (it != blobs_.end()) return &it->second;
        fail(d.line, "no package \"" + name + "\" was built");
        return nullptr;
    }

    bool step(const Directive& d) {
        const std::string& k = d.keyword;
        const std::vector<std::string>& w = d.words;
        std::error_code ec;
        if (k == "tmpfs") {
            root_.mkdirs(w[0]);
            std::string options = "size=" + w[1] + ",mode=0755";
            if (::mount("tmpfs", host(w[0]).c_str(), "tmpfs", 0, options.c_str()) != 0) {
                fail(d.line, "cannot mount a tmpfs at " + w[0] + ": " + std::strerror(errno));
                return false;
            }
            mounts_.points.push_back(host(w[0]));
            if (!s_.bare) defaultLayout();
        } else if (k == "package") {
            std::string error;
            if (!testpkg::build({w.begin() + 1, w.end()}, blobs_, blobs_[w[0]], error)) {
                fail(d.line, "package " + w[0] + ": " + error);
                return false;
            }
        } else if (k == "place") {
            const std::string* bytes = blob(d, w[0]);
            if (!bytes) return false;
            root_.write(w[1], *bytes);
        } else if (k == "file") {
            root_.write(w[0], d.text);
        } else if (k == "dir") {
            root_.mkdirs(w[0]);
        } else if (k == "symlink") {
            root_.symlink(w[1], w[0]);
        } else if (k == "remove") {
            stdfs::remove_all(host(w[0]), ec);
        } else if (k == "move") {
            stdfs::rename(host(w[0]), host(w[1]), ec);
        } else if (k == "run") {
            return runInstaller(d);
        } else if (!ran_ && (k.rfind("std", 0) == 0 || k == "status" || k == "expect-unchanged")) {
            fail(d.line, k + " before any run");
            return false;
        } else if (k == "status" || k.rfind("std", 0) == 0) {
            checkResult(d);
        } else {
            checkExpectation(d);
        }
        return true;
    }

    bool runInstaller(const Directive& d) {
        finishRun();
        RunOptionsForTest options;
        bool inChroot = false;
        size_t i = 0;
        for (; i < d.words.size() && d.words[i] != "--"; ++i) {
            const std::string& word = d.words[i];
            if (word == "chroot") {
                inChroot = true;
            } else if (word == "env" && i + 1 < d.words.size()) {
                const std::string& e = d.words[++i];
                options.env[e.substr(0, e.find('='))] = e.substr(e.find('=') + 1);
            } else if (word.rfind("stdin=", 0) == 0) {
                const std::string* bytes = blob(d, word.substr(6));
                if (!bytes) return false;
                options.stdinData = *bytes;
            } else {
                fail(d.line, "unknown run option \"" + word + "\"");
                return false;
            }
        }
        std::vector<std::string> args;
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
            fail(d.line, "this run would reach the test machine's root; use \"run chroot\"");
            return false;
        }
        std::vector<std::string> created;
        if (inChroot) {
            options.chrootDir = root_.path();
            // The shallowest part of each path that the run will make.
            for (const std::string& dir : chrootHostDirectories(INSTALLER_BINARY)) {
                for (size_t end = dir.find('/', 1);; end = dir.find('/', end + 1)) {
                    if (!root_.exists(dir.substr(0, end))) {
                        created.push_back(dir.substr(0, end));
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
        before_ = tree::snapshot(root_.path());
        last_ = ::runInstaller(args, options);
        if (!s_.exactProgress) last_.out = withoutProgress(last_.out);
        if (inChroot) removeMountPoints(root_.path(), created);
        if (last_.status == 126 || last_.status == 127) {
            fail(d.line, "the installer could not be started");
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
        if (!statusSeen_ && last_.status != 0)
            fail(lastRun_->line, "exit status " + std::to_string(last_.status) + ", expected 0");
        if (!stdoutSeen_ && !last_.out.empty())
            fail(lastRun_->line,
                 "unexpected standard output:\n" + lineDiff({}, textLines(last_.out)));
        if (!stderrSeen_ && !last_.err.empty())
            fail(lastRun_->line,
                 "unexpected standard error:\n" + lineDiff({}, textLines(last_.err)));
        ran_ = false;
    }

    void checkResult(const Directive& d) {
        const std::string& k = d.keyword;
        if (k == "status") {
            statusSeen_ = true;
            if (std::to_string(last_.status) != d.words[0])
                fail(d.line,
                     "exit status " + std::to_string(last_.status) + ", expected " + d.words[0]);
            return;
        }
        const bool err = k.rfind("stderr", 0) == 0;
        (err ? stderrSeen_ : stdoutSeen_) = true;
        const std::string& actual = err ? last_.err : last_.out;
        if (k != "stdout" && k != "stderr") {
            const std::vector<std::string> lines = textLines(actual);
            const bool has = std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
                return ::fnmatch(d.words[0].c_str(), l.c_str(), 0) == 0;
            });
            if (has != (k.find("-has") != std::string::npos))
                fail(d.line, std::string(has ? "a line matches \"" : "no line is \"") + d.words[0] +
                                 "\" in:\n" + lineDiff({}, lines));
        } else if (actual != d.text) {
            fail(d.line, k + " differs (- expected, + actual):\n" +
                             lineDiff(textLines(d.text), textLines(actual)));
        }
    }

    void checkExpectation(const Directive& d) {
        const std::string& k = d.keyword;
        if (k == "expect-unchanged") {
            std::vector<std::string> allowed(d.words.begin(), d.words.end());
            std::string changed = tree::differences(before_, tree::snapshot(root_.path()), allowed);
            if (!changed.empty()) fail(d.line, "the last run changed:\n" + changed);
            return;
        }
        const std::string& path = d.words[0];
        const std::string p = host(path);
        struct stat st;
        const bool present = ::lstat(p.c_str(), &st) == 0;
        if (k == "expect-absent" || !present) {
            if (present != (k != "expect-absent"))
                fail(d.line, path + (present ? " exists" : " is missing"));
            return;
        }
        if (k == "expect-tree") {
            std::vector<std::string> actual = tree::leaves(tree::snapshot(p));
            std::vector<std::string> patterns = textLines(d.text);
            if (!linesMatch(patterns, actual))
                fail(d.line, "tree of " + path + " differs (- expected, + actual):\n" +
                                 lineDiff(patterns, actual));
            return;
        }
        const std::string what = tree::describe(p);
        const std::string content =
            what.rfind("file ", 0) == 0 ? what.substr(what.find(' ', 5) + 1) : "";
        if (k == "expect-link") {
            if (what != "link " + d.words[1])
                fail(d.line, path + " is " + what + ", expected a link to " + d.words[1]);
        } else if (k == "expect-mode") {
            char actual[16];
            std::snprintf(actual, sizeof actual, "%o", unsigned(st.st_mode & 07777));
            if (d.words[1] != actual)
                fail(d.line, path + " has mode " + actual + ", expected " + d.words[1]);
        } else if (what.rfind("file ", 0) != 0) {
            fail(d.line, path + " is not a regular file");
        } else if (k == "expect-match") {
            if (!linesMatch(textLines(d.text), textLines(content)))
                fail(d.line, path + " differs (- expected, + actual):\n" +
                                 lineDiff(textLines(d.text), textLines(content)));
        } else if (k == "expect-same") {
            const std::string* bytes = blob(d, d.words[1]);
            if (bytes && content != *bytes)
                fail(d.line, path + " differs from package " + d.words[1]);
        } else if (content != d.text) {
            fail(d.line, path + " differs (- expected, + actual):\n" +
                             lineDiff(textLines(d.text), textLines(content)));
        }
    }
};

}  // namespace

std::vector<Failure> runScenario(const Scenario& s, RunAs as) {
    return Execution(s, as).run();
}

void checkScenario(const Scenario& s) {
    const bool root = ::geteuid() == 0;
    if (!root && (s.requiresRoot || rootRequired()))
        return skipOrFail(s.name + " needs root (a tmpfs, a chroot or the run as nobody)");
    for (RunAs as : {RunAs::Self, RunAs::Nobody}) {
        if (as == RunAs::Nobody && !root) break;
        const char* who = as == RunAs::Nobody ? "as nobody" : (root ? "as root" : "unprivileged");
        for (const Failure& f : runScenario(s, as))
            ADD_FAILURE_AT(s.path.c_str(), f.line) << "[" << who << "] " << f.message;
    }
}

}  // namespace scenario
