// End-to-end scenarios: small text files that hold a root's contents, the
// packages to build, the installer runs and the exact results expected.
//
// Format, one directive per line ("#" starts a comment line):
//
//   requires root                 skip unless the test runs as root
//   progress exact                compare the progress redraws too (by
//                                 default they are taken out of stdout)
//   bare                          no default layout (/ram, /tmp, /flash/var/pdb)
//   tmpfs PATH SIZE               mount a tmpfs of SIZE (e.g. 1M) at PATH (root only)
//   package BLOB KEY=VALUE...     build a package or bundle, kept under the name
//                                 BLOB (the options: support/packages.h)
//   place BLOB PATH               copy a built package into the root
//   offer BLOB KEY=VALUE...       build a package and place it in /flash/rw/pckg
//   record NAME VERSION TIME [PATH...]
//                                 an installed package's database record: its
//                                 "version", empty "deps" and "files" listing PATHs
//   file PATH [TEXT | <<MARK]     a file in the root
//   dir PATH / symlink PATH TEXT / remove PATH / move PATH NEWPATH / chmod PATH OCTAL
//   touch PATH SECONDS            set PATH's access and modification times
//   run [qpk] [chroot] [env K=V]... [stdin=BLOB] -- ARGS...
//                                 run the installer, or with "qpk" the package
//                                 tool (ROOT, ROOT/PATH = the root's path on the
//                                 host, SOURCE/PATH a path of the source tree),
//                                 with "chroot" inside the root (needs "requires root")
//   status N                      exit status of the last run (default 0)
//   stdout [TEXT | <<MARK]        exact standard output of the last run (default empty)
//   stderr [TEXT | <<MARK]        exact standard error (default empty)
//   stdout-has GLOB / stdout-lacks GLOB / stderr-has GLOB
//                                 a line of the output matches, or none
//   expect-unchanged [PATH...]    the whole root as before the last run,
//                                 apart from the PATHs and what lies below
//   expect-file PATH [TEXT | <<MARK]
//   expect-same PATH BLOB         the file holds exactly the built package
//   expect-same-file PATH PATH    the two files hold the same bytes
//   expect-absent PATH...
//   expect-link PATH TEXT
//   expect-mode PATH OCTAL
//   expect-tree PATH <<MARK       the paths below PATH that hold nothing
//                                 ("dir/", "link -> text", files), sorted;
//                                 lines are glob patterns
//   expect-match PATH <<MARK      the file's lines, matched by glob patterns
//
// Text: an inline TEXT, or each line of a here-document up to MARK, is
// followed by a line feed unless it ends in a lone backslash (then it joins
// the next line, or ends the text without a line feed). A directive with no
// text means empty text. Escapes: \n \r \t \e (ESC) \s (blank) \0 \\ \xHH,
// \{N:T} (T repeated N times) and \v{7.1} (the decimal packed version).
// Words are split at blanks; double quotes group blanks into one word.
//
// Every scenario runs twice from a fresh root: as the test's own user (as
// root the installer then enters the root with chroot) and, when that is
// root, once more as "nobody" (the installer then works inside the root
// through its file layer). Both runs are held to the same expectations.
#pragma once

#include <string>
#include <vector>

namespace scenario {

struct Directive {
    int line = 0;  // 1-based line of the directive
    std::string keyword;
    std::vector<std::string> words;  // decoded words after the keyword
    std::string text;                // decoded text (text directives only)
};

struct Scenario {
    std::string path;
    bool requiresRoot = false;
    bool bare = false;
    bool exactProgress = false;
    std::vector<Directive> directives;
};

// False with `error` ("file:line: message") on a malformed line.
bool parseScenarioText(const std::string& path, const std::string& text, Scenario& out,
                       std::string& error);

// Runs the scenario as a test, reporting each mismatch at its scenario line.
// Skips what needs root when not root (see rootRequired()).
void checkScenario(const Scenario& s);
// Runs the scenario with the package tool's plan before each normal pass of
// the installer: the plan must leave the root as it was and agree with the
// pass on what is installed, in what order, with which messages, and on the
// exit status (the space verdict among them).
void checkPlanAgreement(const Scenario& s);

}  // namespace scenario
