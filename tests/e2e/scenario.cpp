#include "e2e/scenario.h"

#include <fnmatch.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "model/version.h"
#include "support/packages.h"
#include "support/run.h"
#include "support/temp_root.h"
#include "support/tree.h"

namespace scenario {

namespace {

namespace stdfs = std::filesystem;
constexpr size_t NONE = std::string::npos;

// Each directive with its least number of words; those in TEXT take text
// after them.
// clang-format off
const std::map<std::string, size_t> WORDS = {
    {"requires", 1},    {"progress", 1},     {"bare", 0},           {"tmpfs", 2},
    {"package", 1},     {"offer", 1},        {"place", 2},          {"record", 3},
    {"file", 1},        {"dir", 1},          {"chmod", 2},          {"symlink", 2},
    {"remove", 1},      {"move", 2},         {"run", 1},            {"status", 1},
    {"stdout", 0},      {"stderr", 0},       {"stdout-has", 1},     {"stdout-lacks", 1},
    {"stderr-has", 1},  {"expect-file", 1},  {"expect-same", 2},    {"expect-absent", 1},
    {"expect-link", 2}, {"expect-mode", 2},  {"expect-tree", 1},    {"expect-match", 1},
    {"expect-unchanged", 0}};
// clang-format on
const std::set<std::string> TEXT = {"file",        "stdout",      "stderr",
                                    "expect-file", "expect-tree", "expect-match"};

// Index of the "}" closing a group that starts at `from`, skipping escapes.
size_t closingBrace(const std::string& in, size_t from) {
    for (size_t i = from; i < in.size(); ++i) {
        if (in[i] == '\\')
            ++i;
        else if (in[i] == '}')
            return i;
    }
    return NONE;
}

bool decodeText(const std::string& in, std::string& out, std::string& error) {
    static const std::map<char, char> SIMPLE = {{'n', '\n'},   {'r', '\r'}, {'t', '\t'},
                                                {'e', '\x1B'}, {'s', ' '},  {'0', '\0'},
                                                {'\\', '\\'},  {'"', '"'}};
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            out += in[i];
            continue;
        }
        if (++i == in.size()) {
            error = "lone backslash at the end of \"" + in + "\"";
            return false;
        }
        const char c = in[i];
        const std::string rest = in.substr(i + 1);
        const size_t close = closingBrace(in, i + 1);
        if (SIMPLE.count(c)) {
            out += SIMPLE.at(c);
        } else if (c == 'x' && rest.size() >= 2 && std::isxdigit(rest[0]) &&
                   std::isxdigit(rest[1])) {
            out += char(std::stoi(rest.substr(0, 2), nullptr, 16));
            i += 2;
        } else if (c == '{' && close != NONE && in.find(':', i) < close) {
            // \{N:T}: T repeated N times.
            const size_t colon = in.find(':', i);
            const std::string count = in.substr(i + 1, colon - i - 1);
            std::string unit;
            if (count.empty() || count.size() > 9 ||
                count.find_first_not_of("0123456789") != NONE) {
                error = "bad repeat count in \"" + in + "\"";
                return false;
            }
            if (!decodeText(in.substr(colon + 1, close - colon - 1), unit, error)) return false;
            for (long n = std::stol(count); n > 0; --n) out += unit;
            i = close;
        } else if (c == 'v' && rest.rfind("{", 0) == 0 && close != NONE) {
            Version v = 0;
            if (!parseVersion(in.substr(i + 2, close - i - 2), v)) {
                error = "bad version in \"" + in + "\"";
                return false;
            }
            out += std::to_string(v);
            i = close;
        } else {
            error = "bad escape in \"" + in + "\"";
            return false;
        }
    }
    return true;
}

// The next raw word of `line` from `pos` (escapes kept for decodeText);
// `quoted` tells an empty quoted word from the end of the line.
std::string rawWord(const std::string& line, size_t& pos, bool& quoted) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    std::string raw;
    bool inQuotes = quoted = false;
    for (; pos < line.size(); ++pos) {
        const char c = line[pos];
        if (c == '\\' && pos + 1 < line.size()) {
            raw += line.substr(pos++, 2);
        } else if (c == '"') {
            inQuotes = !inQuotes;
            quoted = true;
        } else if (!inQuotes && (c == ' ' || c == '\t')) {
            break;
        } else {
            raw += c;
        }
    }
    return raw;
}

// Appends one line of text with its line feed, unless a lone backslash at
// its end joins it to the next.
bool appendTextLine(const std::string& raw, std::string& out, std::string& error) {
    size_t backslashes = 0;
    while (backslashes < raw.size() && raw[raw.size() - 1 - backslashes] == '\\') ++backslashes;
    const bool join = backslashes % 2 == 1;
    std::string decoded;
    if (!decodeText(join ? raw.substr(0, raw.size() - 1) : raw, decoded, error)) return false;
    out += decoded + (join ? "" : "\n");
    return true;
}

std::string trimRight(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.pop_back();
    return s;
}

std::vector<std::string> textLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    return out;
}

// Lines matched in order against glob patterns.
bool linesMatch(const std::vector<std::string>& patterns, const std::vector<std::string>& actual) {
    if (patterns.size() != actual.size()) return false;
    for (size_t i = 0; i < actual.size(); ++i)
        if (patterns[i] != actual[i] && ::fnmatch(patterns[i].c_str(), actual[i].c_str(), 0) != 0)
            return false;
    return true;
}

// The output without its progress redraws (each drawn between hiding and
// showing the cursor).
std::string withoutProgress(std::string out) {
    for (size_t at; (at = out.find("\x1B[?25l")) != NONE;) {
        const size_t end = out.find("\x1B[?25h", at);
        out.erase(at, end == NONE ? end : end + 6 - at);
    }
    return out;
}

enum class RunAs { Self, Nobody };

class Execution {
  public:
    Execution(const Scenario& s, RunAs as, const std::string& who) : s_(s), as_(as), who_(who) {}

    ~Execution() {
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it)
            ::umount2(it->c_str(), MNT_DETACH);
    }

    void run() {
        if (!s_.bare) defaultLayout();
        for (const Directive& d : s_.directives)
            if (!step(d)) break;  // a setup failure makes the rest meaningless
        finishRun();
    }

  private:
    const Scenario& s_;
    RunAs as_;
    std::string who_;
    TempRoot root_;
    std::vector<std::string> mounts_;
    std::map<std::string, std::string> blobs_;

    // The last run, which of its results were checked, and the tree before it.
    const Directive* lastRun_ = nullptr;
    RunResult last_;
    bool statusSeen_ = false, stdoutSeen_ = false, stderrSeen_ = false;
    tree::Snapshot before_;

    bool fail(int line, const std::string& message) {
        ADD_FAILURE_AT(s_.path.c_str(), line) << "[" << who_ << "] " << message;
        return false;
    }
    void same(const Directive& d, const std::string& what, const std::string& expected,
              const std::string& actual) {
        if (expected == actual) return;
        ::testing::ScopedTrace at(s_.path.c_str(), d.line, who_ + ": " + what);
        EXPECT_EQ(expected, actual);
    }
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
        std::string error;
        if (k == "tmpfs") {
            root_.mkdirs(w[0]);
            if (::mount("tmpfs", host(w[0]).c_str(), "tmpfs", 0,
                        ("size=" + w[1] + ",mode=0755").c_str()))
                return fail(d.line,
                            "cannot mount a tmpfs at " + w[0] + ": " + std::strerror(errno));
            mounts_.push_back(host(w[0]));
            if (!s_.bare) defaultLayout();
        } else if (k == "package" || k == "offer") {
            if (!testpkg::build({w.begin() + 1, w.end()}, blobs_, blobs_[w[0]], error))
                return fail(d.line, "package " + w[0] + ": " + error);
            if (k == "offer") root_.write("/flash/rw/pckg/" + w[0], blobs_[w[0]]);
        } else if (k == "place") {
            const std::string* bytes = blob(d, w[0]);
            if (!bytes) return false;
            root_.write(w[1], *bytes);
        } else if (k == "record") {
            Version v = 0;
            if (!parseVersion(w[1], v)) return fail(d.line, "bad version " + w[1]);
            const std::string dir = "/flash/var/pdb/" + w[0] + "/";
            root_.write(dir + "version", std::to_string(v) + " " + w[2] + "\n");
            std::string files;
            for (size_t i = 3; i < w.size(); ++i) files += w[i] + "\n";
            root_.write(dir + "deps", "");
            root_.write(dir + "files", files);
        } else if (k == "file") {
            root_.write(w[0], d.text);
        } else if (k == "chmod") {
            ::chmod(host(w[0]).c_str(), mode_t(std::stoul(w[1], nullptr, 8)));
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
        } else if (!lastRun_ &&
                   (k.rfind("std", 0) == 0 || k == "status" || k == "expect-unchanged")) {
            return fail(d.line, k + " before any run");
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
        bool qpk = false;
        size_t i = 0;
        for (; i < d.words.size() && d.words[i] != "--"; ++i) {
            const std::string& word = d.words[i];
            if (word == "qpk") {
                qpk = true;
            } else if (word == "chroot") {
                options.chrootDir = root_.path();
            } else if (word == "env" && i + 1 < d.words.size()) {
                const std::string& e = d.words[++i];
                options.env[e.substr(0, e.find('='))] = e.substr(e.find('=') + 1);
            } else if (word.rfind("stdin=", 0) == 0 && blob(d, word.substr(6))) {
                options.stdinData = *blob(d, word.substr(6));
            } else {
                return fail(d.line, "bad run option \"" + word + "\"");
            }
        }
        std::vector<std::string> args;
        bool rootGiven = false, commands = false;
        for (++i; i < d.words.size(); ++i) {
            const std::string& word = d.words[i];
            rootGiven = rootGiven || word == "ROOT";
            commands = commands || word == "--commit" || word == "--cancel";
            // "ROOT" and "ROOT/path" name the scenario's root on the host.
            const bool inRoot = word == "ROOT" || word.rfind("ROOT/", 0) == 0;
            const bool inSource = word.rfind("SOURCE/", 0) == 0;
            args.push_back(inRoot     ? root_.path() + word.substr(4)
                           : inSource ? SOURCE_DIR + word.substr(6)
                                      : word);
        }
        // Outside a chroot the installer must be pointed at the scenario's
        // root; --commit and --cancel act before -r takes effect, so they
        // would reach the test machine's own /ram.
        if (!qpk && options.chrootDir.empty() && (!rootGiven || commands))
            return fail(d.line, "this run would reach the test machine's root; use \"run chroot\"");
        if (as_ == RunAs::Nobody) {
            // The installer owns the flash on a router.
            giveTreeTo(root_.path(), NOBODY_UID);
            options.runAsUser = NOBODY_UID;
        }
        before_ = tree::snapshot(root_.path());
        last_ = runProgram(qpk ? QPK_BINARY : INSTALLER_BINARY, args, options);
        if (!s_.exactProgress) last_.out = withoutProgress(last_.out);
        if (last_.status == 126 || last_.status == 127)
            return fail(d.line, "the installer could not be started");
        lastRun_ = &d;
        statusSeen_ = stdoutSeen_ = stderrSeen_ = false;
        return true;
    }

    // Results that the scenario did not state must be the defaults: status
    // 0 and no output at all.
    void finishRun() {
        if (!lastRun_) return;
        if (!statusSeen_ && last_.status != 0)
            fail(lastRun_->line, "exit status " + std::to_string(last_.status) + ", expected 0");
        if (!stdoutSeen_) same(*lastRun_, "standard output", "", last_.out);
        if (!stderrSeen_) same(*lastRun_, "standard error", "", last_.err);
        lastRun_ = nullptr;
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
        if (k == "stdout" || k == "stderr") return same(d, k, d.text, actual);
        const std::vector<std::string> lines = textLines(actual);
        const bool has = std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return ::fnmatch(d.words[0].c_str(), l.c_str(), 0) == 0;
        });
        if (has != (k.find("-has") != NONE))
            fail(d.line, std::string(has ? "a line matches \"" : "no line is \"") + d.words[0] +
                             "\" in:\n" + actual);
    }

    void checkExpectation(const Directive& d) {
        const std::string& k = d.keyword;
        if (k == "expect-unchanged") {
            const std::string changed =
                tree::differences(before_, tree::snapshot(root_.path()), d.words);
            if (!changed.empty()) fail(d.line, "the last run changed:\n" + changed);
            return;
        }
        if (k == "expect-absent") {
            for (const std::string& path : d.words)
                if (root_.exists(path)) fail(d.line, path + " exists");
            return;
        }
        const std::string& path = d.words[0];
        struct stat st;
        if (::lstat(host(path).c_str(), &st) != 0) {
            fail(d.line, path + " is missing");
            return;
        }
        const std::string what = tree::describe(host(path));
        const bool file = what.rfind("file ", 0) == 0;
        const std::string content = file ? what.substr(what.find(' ', 5) + 1) : "";
        if (k == "expect-tree" || k == "expect-match") {
            const std::vector<std::string> patterns = textLines(d.text);
            const std::vector<std::string> actual =
                k == "expect-tree" ? tree::leaves(tree::snapshot(host(path))) : textLines(content);
            if (k == "expect-match" && !file)
                fail(d.line, path + " is not a regular file");
            else if (!linesMatch(patterns, actual))
                same(d, k + " " + path, d.text, joined(actual));
        } else if (k == "expect-link") {
            if (what != "link " + d.words[1])
                fail(d.line, path + " is " + what + ", expected a link to " + d.words[1]);
        } else if (k == "expect-mode") {
            char actual[16];
            std::snprintf(actual, sizeof actual, "%o", unsigned(st.st_mode & 07777));
            if (d.words[1] != actual)
                fail(d.line, path + " has mode " + actual + ", expected " + d.words[1]);
        } else if (!file) {
            fail(d.line, path + " is not a regular file");
        } else if (k == "expect-same") {
            const std::string* bytes = blob(d, d.words[1]);
            if (bytes && content != *bytes)
                fail(d.line, path + " differs from package " + d.words[1]);
        } else {
            same(d, path, d.text, content);
        }
    }
};

}  // namespace

bool splitWords(const std::string& line, std::vector<std::string>& words, std::string& error) {
    size_t pos = 0;
    for (bool quoted = false;;) {
        const std::string raw = rawWord(line, pos, quoted);
        if (raw.empty() && !quoted) return true;
        words.emplace_back();
        if (!decodeText(raw, words.back(), error)) return false;
    }
}

bool parseScenarioText(const std::string& path, const std::string& text, Scenario& out,
                       std::string& error) {
    out = Scenario();
    out.path = path;
    std::vector<std::string> lines = textLines(text);
    for (std::string& l : lines)
        if (!l.empty() && l.back() == '\r') l.pop_back();
    for (size_t n = 0; n < lines.size(); ++n) {
        auto fail = [&](const std::string& message) {
            error = path + ":" + std::to_string(n + 1) + ": " + message;
            return false;
        };
        const std::string line = trimRight(lines[n]);
        size_t pos = line.find_first_not_of(" \t");
        if (pos == NONE || line[pos] == '#') continue;
        Directive d;
        d.line = int(n + 1);
        bool quoted = false;
        d.keyword = rawWord(line, pos, quoted);
        const auto least = WORDS.find(d.keyword);
        if (least == WORDS.end()) return fail("unknown directive \"" + d.keyword + "\"");
        if (!TEXT.count(d.keyword)) {
            if (!splitWords(line.substr(pos), d.words, error)) return fail(error);
        } else {
            for (size_t k = 0; k < least->second; ++k) {
                const std::string raw = rawWord(line, pos, quoted);
                if (raw.empty() && !quoted) break;
                d.words.emplace_back();
                if (!decodeText(raw, d.words.back(), error)) return fail(error);
            }
            const size_t start = line.find_first_not_of(" \t", pos);
            const std::string rest = start == NONE ? "" : line.substr(start);
            if (rest.size() > 2 && rest.rfind("<<", 0) == 0 && rest.find_first_of(" \t") == NONE) {
                size_t end = n + 1;
                while (end < lines.size() && trimRight(lines[end]) != rest.substr(2)) ++end;
                if (end == lines.size()) return fail("here-document without its end");
                for (++n; n < end; ++n)
                    if (!appendTextLine(lines[n], d.text, error)) return fail(error);
            } else if (!rest.empty() && !appendTextLine(rest, d.text, error)) {
                return fail(error);
            }
        }
        if (d.words.size() < least->second) return fail("too few words for " + d.keyword);
        const std::string first = d.words.empty() ? "" : d.words[0];
        if (d.keyword == "requires" || d.keyword == "tmpfs" ||
            (d.keyword == "run" &&
             std::find(d.words.begin(), d.words.end(), "chroot") != d.words.end()))
            out.requiresRoot = true;
        if (d.keyword == "progress") out.exactProgress = first == "exact";
        if (d.keyword == "bare") out.bare = true;
        if (d.keyword == "run" && std::find(d.words.begin(), d.words.end(), "--") == d.words.end())
            return fail("run needs \"--\" before the installer's arguments");
        if (d.keyword != "requires" && d.keyword != "progress" && d.keyword != "bare")
            out.directives.push_back(std::move(d));
    }
    return true;
}

void checkScenario(const Scenario& s) {
    const bool root = ::geteuid() == 0;
    if (!root && (s.requiresRoot || rootRequired()))
        return skipOrFail(s.path + " needs root (a tmpfs, a chroot or the run as nobody)");
    Execution(s, RunAs::Self, root ? "as root" : "unprivileged").run();
    if (root) Execution(s, RunAs::Nobody, "as nobody").run();
}

}  // namespace scenario
