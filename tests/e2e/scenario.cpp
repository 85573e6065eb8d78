#include "e2e/scenario.h"

#include <fcntl.h>
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
#include <nlohmann/json.hpp>
#include <optional>
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
    {"requires", 1}, {"progress", 1}, {"bare", 0}, {"tmpfs", 2}, {"package", 1}, {"offer", 1},
    {"place", 2}, {"record", 3}, {"file", 1}, {"dir", 1}, {"chmod", 2}, {"symlink", 2},
    {"remove", 1}, {"move", 2}, {"touch", 2}, {"run", 1}, {"status", 1}, {"stdout", 0}, {"stderr", 0},
    {"stdout-has", 1}, {"stdout-lacks", 1}, {"stderr-has", 1}, {"expect-file", 1},
    {"expect-same", 2}, {"expect-same-file", 2}, {"expect-absent", 1}, {"expect-link", 2}, {"expect-mode", 2},
    {"expect-tree", 1}, {"expect-match", 1}, {"expect-unchanged", 0}};
// clang-format on
const std::set<std::string> TEXT = {"file",        "stdout",      "stderr",
                                    "expect-file", "expect-tree", "expect-match"};

std::string trimRight(std::string s) {
    return s.erase(s.find_last_not_of(" \t\r\n") + 1);  // NONE + 1 == 0
}

// Appends `in` to `out` with its escapes decoded.
bool decodeText(const std::string& in, std::string& out, std::string& error) {
    static const std::map<char, char> SIMPLE = {{'n', '\n'},   {'r', '\r'}, {'t', '\t'},
                                                {'e', '\x1B'}, {'s', ' '},  {'0', '\0'},
                                                {'\\', '\\'},  {'"', '"'}};
    const auto bad = [&](const std::string& what) {
        error = what + " in \"" + trimRight(in) + "\"";
        return false;
    };
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            out += in[i];
            continue;
        }
        if (++i == in.size()) return bad("lone backslash at the end");
        if (in[i] == '\n') continue;  // a line of text that ends in it joins the next
        const size_t close = in.find('}', i), colon = in.find(':', i);
        if (SIMPLE.count(in[i])) {
            out += SIMPLE.at(in[i]);
        } else if (in[i] == 'x' && i + 2 < in.size() && std::isxdigit(in[i + 1]) &&
                   std::isxdigit(in[i + 2])) {
            out += char(std::stoi(in.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else if (in[i] == '{' && close != NONE && colon < close) {
            // \{N:T}: T repeated N times.
            const std::string count = in.substr(i + 1, colon - i - 1);
            std::string unit;
            if (count.empty() || count.size() > 9 || count.find_first_not_of("0123456789") != NONE)
                return bad("bad repeat count");
            if (!decodeText(in.substr(colon + 1, close - colon - 1), unit, error)) return false;
            for (long n = std::stol(count); n > 0; --n) out += unit;
            i = close;
        } else if (in.compare(i, 2, "v{") == 0 && close != NONE) {
            Version v = 0;
            if (!parseVersion(in.substr(i + 2, close - i - 2), v)) return bad("bad version");
            out += std::to_string(v);
            i = close;
        } else {
            return bad("bad escape");
        }
    }
    return true;
}

// The words of `line` from `pos` on, `most` of them at most, their escapes
// kept for decodeText; `pos` ends after the last. Blanks separate, double
// quotes group (and are dropped).
std::vector<std::string> rawWords(const std::string& line, size_t& pos, size_t most = NONE) {
    std::vector<std::string> words;
    while (words.size() < most && (pos = line.find_first_not_of(" \t", pos)) != NONE) {
        std::string& word = words.emplace_back();
        for (bool quoted = false; pos < line.size(); ++pos) {
            if (line[pos] == '\\' && pos + 1 < line.size())
                word += line.substr(pos++, 2);
            else if (line[pos] == '"')
                quoted = !quoted;
            else if (!quoted && (line[pos] == ' ' || line[pos] == '\t'))
                break;
            else
                word += line[pos];
        }
    }
    return words;
}

std::vector<std::string> textLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

bool matches(const std::string& pattern, const std::string& text) {
    return pattern == text || ::fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
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

// The lines the installer printed, without the progress line: its redraws,
// its erasing before a message, and its drawing again after one.
std::vector<std::string> printedLines(const std::string& out) {
    std::string text = withoutProgress(out);
    const std::string erase = "\r" + std::string(79, ' ') + "\r";
    for (size_t at; (at = text.find(erase)) != NONE;) text.erase(at, erase.size());
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("installing ") && line.find(']') != NONE)
            line.erase(0, line.find(']') + 1);
        if (!line.empty() && line != "Resuming upgrade...") lines.push_back(line);
    }
    return lines;
}

// One run of a scenario from a fresh root, as root or nobody.
struct Execution {
    const Scenario& s_;
    bool nobody_;
    std::string who_;
    // Before each normal pass the package tool's plan runs on the same root;
    // it must leave the root as it was and agree with the pass.
    bool planFirst_ = false;
    TempRoot root_{};
    std::vector<std::string> mounts_{};
    std::map<std::string, std::string> blobs_{};

    // The last run, which of its results were stated, and the tree before it.
    const Directive* lastRun_ = nullptr;
    RunResult last_{};
    std::set<std::string> stated_{};
    tree::Snapshot before_{};

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

    bool fail(const Directive& d, const std::string& message) {
        ADD_FAILURE_AT(s_.path.c_str(), d.line) << "[" << who_ << "] " << message;
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
        fail(d, "no package \"" + name + "\" was built");
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
                return fail(d, "cannot mount a tmpfs at " + w[0] + ": " + std::strerror(errno));
            mounts_.push_back(host(w[0]));
            if (!s_.bare) defaultLayout();
        } else if (k == "package" || k == "offer") {
            if (!testpkg::build({w.begin() + 1, w.end()}, blobs_, blobs_[w[0]], error))
                return fail(d, "package " + w[0] + ": " + error);
            if (k == "offer") root_.write("/flash/rw/pckg/" + w[0], blobs_[w[0]]);
        } else if (k == "place") {
            const std::string* bytes = blob(d, w[0]);
            if (!bytes) return false;
            root_.write(w[1], *bytes);
        } else if (k == "record") {
            Version v = 0;
            if (!parseVersion(w[1], v)) return fail(d, "bad version " + w[1]);
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
        } else if (k == "touch") {
            const timespec times[2] = {{std::stol(w[1]), 0}, {std::stol(w[1]), 0}};
            if (::utimensat(AT_FDCWD, host(w[0]).c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
                return fail(d, "cannot touch " + w[0] + ": " + std::strerror(errno));
        } else if (k == "run") {
            return execute(d);
        } else if (!lastRun_ && (!k.starts_with("expect-") || k == "expect-unchanged")) {
            return fail(d, k + " before any run");
        } else if (!k.starts_with("expect-")) {
            checkResult(d);
        } else {
            checkExpectation(d);
        }
        return true;
    }

    bool execute(const Directive& d) {
        finishRun();
        RunOptionsForTest options;
        const auto dashes = std::find(d.words.begin(), d.words.end(), "--");
        bool qpk = false;
        for (auto it = d.words.begin(); it != dashes; ++it) {
            if (*it == "qpk") {
                qpk = true;
            } else if (*it == "chroot") {
                options.chrootDir = root_.path();
            } else if (*it == "env" && it + 1 != dashes) {
                const std::string& e = *++it;
                options.env[e.substr(0, e.find('='))] = e.substr(e.find('=') + 1);
            } else if (it->starts_with("stdin=") && blob(d, it->substr(6))) {
                options.stdinData = *blob(d, it->substr(6));
            } else {
                return fail(d, "bad run option \"" + *it + "\"");
            }
        }
        std::vector<std::string> args;
        bool rootGiven = false, commands = false;
        for (std::string word : std::vector<std::string>(dashes + 1, d.words.end())) {
            rootGiven = rootGiven || word == "ROOT";
            commands = commands || word == "--commit" || word == "--cancel";
            // "ROOT" and "ROOT/path" name the scenario's root on the host.
            if (word == "ROOT" || word.starts_with("ROOT/")) word.replace(0, 4, root_.path());
            if (word.starts_with("SOURCE/")) word.replace(0, 6, SOURCE_DIR);
            args.push_back(word);
        }
        // Outside a chroot the installer must be pointed at the scenario's
        // root; --commit and --cancel act before -r takes effect, so they
        // would reach the test machine's own /ram.
        if (!qpk && options.chrootDir.empty() && (!rootGiven || commands))
            return fail(d, "this run would reach the test machine's root; use \"run chroot\"");
        if (nobody_) {
            // The installer owns the flash on a router.
            giveTreeTo(root_.path(), NOBODY_UID);
            options.runAsUser = NOBODY_UID;
        }
        std::optional<PlanResult> plan;
        if (planFirst_ && !qpk && isNormalPass(args, options)) plan = runPlan(d, args, options);
        before_ = tree::snapshot(root_.path());
        last_ = runProgram(qpk ? QPK_BINARY : INSTALLER_BINARY, args, options);
        if (plan) comparePlan(d, *plan, args);
        if (!s_.exactProgress) last_.out = withoutProgress(last_.out);
        if (last_.status == 126 || last_.status == 127)
            return fail(d, "the installer could not be started");
        lastRun_ = &d;
        stated_.clear();
        return true;
    }

    // A pass of the installer over flash: every word one it knows, and not
    // the emulated board, where it does nothing.
    static bool isNormalPass(const std::vector<std::string>& args,
                             const RunOptionsForTest& options) {
        static const std::set<std::string> PASS = {"-q", "-down",   "--reinstall", "--safe",
                                                   "-b", "--force", "--noupgrade", "-i"};
        if (!options.stdinData.empty()) return false;
        auto board = options.env.find("board");
        if (board != options.env.end() && board->second == "qemu_p9") return false;
        for (size_t k = 0; k < args.size(); ++k) {
            if (args[k] == "-r" && k + 1 < args.size())
                ++k;
            else if (!PASS.count(args[k]))
                return false;
        }
        return true;
    }

    struct PlanResult {
        int status = -1;
        std::vector<std::string> installed;
        std::vector<std::string> messages;
    };

    std::optional<PlanResult> runPlan(const Directive& d, const std::vector<std::string>& args,
                                      const RunOptionsForTest& options) {
        std::vector<std::string> planArgs = {"plan", "--json", "-r", root_.path()};
        for (const std::string& word : args)
            if (word == "-down" || word == "--reinstall") planArgs.push_back(word);
        RunOptionsForTest planOptions;
        planOptions.env = options.env;
        const tree::Snapshot before = tree::snapshot(root_.path());
        const RunResult run = runProgram(QPK_BINARY, planArgs, planOptions);
        const std::string changed = tree::differences(before, tree::snapshot(root_.path()));
        if (!changed.empty()) fail(d, "the plan changed the root:\n" + changed);
        const auto report = nlohmann::json::parse(run.out, nullptr, false);
        if (report.is_discarded() || !report.is_object()) {
            fail(d, "the plan printed no report (status " + std::to_string(run.status) +
                        "): " + run.err);
            return std::nullopt;
        }
        PlanResult plan;
        plan.status = run.status;
        for (const auto& p : report["installed"]) plan.installed.push_back(p.get<std::string>());
        for (const auto& m : report["messages"]) plan.messages.push_back(m.get<std::string>());
        return plan;
    }

    // The exit status (the space verdict among them), and what the
    // installer prints: its messages, then what it installed, in order. A
    // failure that only the apply step meets (a link or a move that the file
    // system refuses) is beyond what a plan can know.
    void comparePlan(const Directive& d, const PlanResult& plan,
                     const std::vector<std::string>& args) {
        const std::vector<std::string> printed = printedLines(last_.out);
        const bool refused = std::any_of(printed.begin(), printed.end(), [](const std::string& l) {
            return l.starts_with("ERROR: upgrade failed, free ");
        });
        if (plan.status == 0 && last_.status != 0 && !refused) return;
        if (plan.status != last_.status)
            fail(d, "the plan said exit status " + std::to_string(plan.status) +
                        ", the installer ended with " + std::to_string(last_.status));
        // Quiet, the installer prints nothing to compare with.
        if (std::find(args.begin(), args.end(), "-q") != args.end()) return;
        std::vector<std::string> predicted = plan.messages;
        for (const std::string& p : plan.installed) predicted.push_back("installed " + p);
        same(d, "the plan's messages and installs against the installer's output",
             testing::PrintToString(printed), testing::PrintToString(predicted));
    }

    // Results that the scenario did not state must be the defaults: status
    // 0 and no output at all.
    void finishRun() {
        if (!lastRun_) return;
        if (!stated_.count("status")) checkStatus(*lastRun_, "0");
        if (!stated_.count("stdout")) same(*lastRun_, "standard output", "", last_.out);
        if (!stated_.count("stderr")) same(*lastRun_, "standard error", "", last_.err);
        lastRun_ = nullptr;
    }

    void checkStatus(const Directive& d, const std::string& expected) {
        if (std::to_string(last_.status) != expected)
            fail(d, "exit status " + std::to_string(last_.status) + ", expected " + expected);
    }

    void checkResult(const Directive& d) {
        const std::string& k = d.keyword;
        stated_.insert(k.substr(0, 6));  // "status", "stdout" or "stderr"
        const std::string& actual = k.starts_with("stderr") ? last_.err : last_.out;
        const std::vector<std::string> lines = textLines(actual);
        const auto matching = [&](const std::string& l) {
            return ::fnmatch(d.words[0].c_str(), l.c_str(), 0) == 0;
        };
        if (k == "status") {
            checkStatus(d, d.words[0]);
        } else if (k == "stdout" || k == "stderr") {
            same(d, k, d.text, actual);
        } else if (const bool has = std::any_of(lines.begin(), lines.end(), matching);
                   has != k.ends_with("-has")) {
            fail(d, std::string(has ? "a line matches \"" : "no line is \"") + d.words[0] +
                        "\" in:\n" + actual);
        }
    }

    void checkExpectation(const Directive& d) {
        const std::string& k = d.keyword;
        const std::string& path = d.words.empty() ? "" : d.words[0];
        const std::string what = tree::describe(host(path));
        const bool file = what.starts_with("file ");
        const std::string content = file ? what.substr(what.find(' ', 5) + 1) : "";
        if (k == "expect-unchanged") {
            const std::string changed =
                tree::differences(before_, tree::snapshot(root_.path()), d.words);
            if (!changed.empty()) fail(d, "the last run changed:\n" + changed);
        } else if (k == "expect-absent") {
            for (const std::string& absent : d.words)
                if (root_.exists(absent)) fail(d, absent + " exists");
        } else if (what.empty()) {
            fail(d, path + " is missing");
        } else if (k == "expect-tree" || k == "expect-match") {
            const std::vector<std::string> patterns = textLines(d.text);
            const std::vector<std::string> actual =
                k == "expect-tree" ? tree::leaves(tree::snapshot(host(path))) : textLines(content);
            std::string joined;
            for (const std::string& l : actual) joined += l + "\n";
            if (k == "expect-match" && !file)
                fail(d, path + " is not a regular file");
            else if (!std::equal(patterns.begin(), patterns.end(), actual.begin(), actual.end(),
                                 matches))
                same(d, k + " " + path, d.text, joined);
        } else if (k == "expect-link") {
            if (what != "link " + d.words[1])
                fail(d, path + " is " + what + ", expected a link to " + d.words[1]);
        } else if (k == "expect-mode") {
            std::ostringstream mode;
            mode << std::oct << (unsigned(stdfs::symlink_status(host(path)).permissions()) & 07777);
            if (d.words[1] != mode.str())
                fail(d, path + " has mode " + mode.str() + ", expected " + d.words[1]);
        } else if (!file) {
            fail(d, path + " is not a regular file");
        } else if (k == "expect-same") {
            const std::string* bytes = blob(d, d.words[1]);
            if (bytes && content != *bytes) fail(d, path + " differs from package " + d.words[1]);
        } else if (k == "expect-same-file") {
            const std::string other = tree::describe(host(d.words[1]));
            if (!other.starts_with("file "))
                fail(d, d.words[1] + " is not a regular file");
            else if (content != other.substr(other.find(' ', 5) + 1))
                fail(d, path + " and " + d.words[1] + " differ");
        } else {
            same(d, path, d.text, content);
        }
    }
};

}  // namespace

bool parseScenarioText(const std::string& path, const std::string& text, Scenario& out,
                       std::string& error) {
    out = Scenario();
    out.path = path;
    std::vector<std::string> lines = textLines(text);
    for (std::string& l : lines)
        if (l.ends_with('\r')) l.pop_back();
    for (size_t n = 0; n < lines.size(); ++n) {
        const auto fail = [&](const std::string& message) {
            error = path + ":" + std::to_string(n + 1) + ": " + message;
            return false;
        };
        const std::string line = trimRight(lines[n]);
        size_t pos = line.find_first_not_of(" \t");
        if (pos == NONE || line[pos] == '#') continue;
        Directive d{int(n + 1), rawWords(line, pos, 1)[0], {}, {}};
        if (!WORDS.count(d.keyword)) return fail("unknown directive \"" + d.keyword + "\"");
        const size_t least = WORDS.at(d.keyword);
        for (const std::string& raw : rawWords(line, pos, TEXT.count(d.keyword) ? least : NONE))
            if (!decodeText(raw, d.words.emplace_back(), error)) return fail(error);
        // What follows the words of a text directive: its text, or "<<MARK".
        const size_t start = line.find_first_not_of(" \t", pos);
        const std::string rest = start == NONE ? "" : line.substr(start);
        if (rest.size() > 2 && rest.starts_with("<<") && rest.find_first_of(" \t") == NONE) {
            size_t end = n + 1;
            while (end < lines.size() && trimRight(lines[end]) != rest.substr(2)) ++end;
            if (end == lines.size()) return fail("here-document without its end");
            for (++n; n < end; ++n)
                if (!decodeText(lines[n] + "\n", d.text, error)) return fail(error);
        } else if (!rest.empty() && !decodeText(rest + "\n", d.text, error)) {
            return fail(error);
        }
        if (d.words.size() < least) return fail("too few words for " + d.keyword);
        const auto has = [&](const char* word) {
            return std::find(d.words.begin(), d.words.end(), word) != d.words.end();
        };
        if (d.keyword == "run" && !has("--"))
            return fail("run needs \"--\" before the installer's arguments");
        if (d.keyword == "requires" || d.keyword == "tmpfs" ||
            (d.keyword == "run" && has("chroot")))
            out.requiresRoot = true;
        if (d.keyword == "progress") out.exactProgress = d.words[0] == "exact";
        if (d.keyword == "bare") out.bare = true;
        if (d.keyword != "requires" && d.keyword != "progress" && d.keyword != "bare")
            out.directives.push_back(std::move(d));
    }
    return true;
}

void checkPlanAgreement(const Scenario& s) {
    const bool root = ::geteuid() == 0;
    if (!root && (s.requiresRoot || rootRequired()))
        return skipOrFail(s.path + " needs root (a tmpfs, a chroot or the run as nobody)");
    Execution run{s, false, "with a plan before each pass"};
    run.planFirst_ = true;
    run.run();
}

void checkScenario(const Scenario& s) {
    const bool root = ::geteuid() == 0;
    if (!root && (s.requiresRoot || rootRequired()))
        return skipOrFail(s.path + " needs root (a tmpfs, a chroot or the run as nobody)");
    Execution{s, false, root ? "as root" : "unprivileged"}.run();
    if (root) Execution{s, true, "as nobody"}.run();
}

}  // namespace scenario
