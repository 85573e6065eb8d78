// Every file operation of a whole upgrade made to fail in turn, with each of
// a full disk, an I/O error and a refused permission: the run must say so,
// and must leave the flash either as it was or in a state from which
// "--reinstall" reaches exactly what an uninterrupted upgrade gives.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>

#include "engine/admission.h"
#include "faults/upgrade_fixture.h"
#include "txn/durability.h"
#include "fs/faults.h"

namespace faults = rootfs::faults;
using namespace faulttest;

namespace {

struct OpKind {
    faults::Op op;
    const char* name;
};
const OpKind OP_KINDS[] = {{faults::WRITE, "write"},
                           {faults::CREATE, "create"},
                           {faults::RENAME, "rename"},
                           {faults::MKDIR, "mkdir"}};

// The message that a failed create or write of a package's file gives.
const char* createFailureText(int err) {
    switch (err) {
        case ENOSPC:
            return "failed: disk is too small";
        case EIO:
            return "failed: disk error";
        default:
            return "failed: could not create ";
    }
}

// The error lines of a run, without the progress bars.
std::string errorLines(const PassResult& r) {
    std::string out;
    size_t at = 0;
    while ((at = r.out.find("ERROR: ", at)) != std::string::npos) {
        const size_t end = r.out.find('\n', at);
        out += r.out.substr(at, end - at) + "; ";
        at = end;
    }
    return out + r.err;
}

enum Outcome { UNTOUCHED, COMPLETED, RESUMED, INCONSISTENT, OUTCOMES };
const char* const OUTCOME_NAMES[] = {"flash untouched", "completed anyway",
                                     "resumed by the next run", "inconsistent"};

using Runner = std::function<PassResult(const std::string& root, uint32_t allowance)>;

// One run made to fail at every operation in turn, on copies of a prepared
// root.
class FaultMatrix {
  public:
    // `resume` continues after a reported failure; by default the run again
    // with "--reinstall".
    FaultMatrix(const std::string& templateRoot, Runner run,
                bool (*skip)(const std::string&) = skipPostLog, Runner resume = nullptr)
        : template_(templateRoot), run_(std::move(run)), resume_(std::move(resume)), skip_(skip) {
        if (!resume_) resume_ = run_;
        before_ = snapshot(template_, skip_);
        const std::string work = makeTempDir("faults-target");
        copyTree(template_, work);
        const PassResult clean = run_(work, 0);
        cleanOutput_ = clean.out + clean.err;
        target_ = snapshot(work, skip_);
        removeTree(work);
    }

    const Snapshot& target() const { return target_; }
    const std::string& cleanOutput() const { return cleanOutput_; }

    // Operations of `op`'s kind in a fault-free run.
    long countOps(faults::Op op) const {
        const std::string work = makeTempDir("faults-count");
        copyTree(template_, work);
        faults::arm(op, 0, 0);
        run_(work, 0);
        const long n = faults::count();
        faults::disarm();
        removeTree(work);
        return n;
    }

    // Every operation of every kind failing with each of `errnos`; the
    // number of cases that ended inconsistent (described in `problems`).
    int runAll(const std::vector<int>& errnos, std::string& problems) {
        int outcomes[OUTCOMES] = {};
        std::cout << "operations of one run:";
        for (const OpKind& kind : OP_KINDS) {
            const long total = countOps(kind.op);
            std::cout << " " << total << " " << kind.name;
            for (long nth = 1; nth <= total; ++nth)
                for (int err : errnos) ++outcomes[runCase(kind, nth, err, problems)];
        }
        std::cout << "\n";
        for (int o = 0; o < OUTCOMES; ++o)
            std::cout << "  " << OUTCOME_NAMES[o] << ": " << outcomes[o] << "\n";
        return outcomes[INCONSISTENT];
    }

    // Runs with the nth operation of `kind` failing with `err`.
    Outcome runCase(const OpKind& kind, long nth, int err, std::string& problems) const {
        const std::string work = makeTempDir("faults-case");
        copyTree(template_, work);
        faults::arm(kind.op, nth, err);
        const PassResult first = run_(work, 0);
        faults::disarm();
        const Snapshot after = snapshot(work, skip_);

        const bool reported = first.out.find("ERROR: ") != std::string::npos || !first.err.empty();
        Outcome outcome = INCONSISTENT;
        std::string why;
        if (after == target_) {
            outcome = COMPLETED;
        } else if (!reported || first.status == 0) {
            why = "a failure passed for success:\n" + difference(target_, after);
        } else {
            // Part of the apply step may have happened: run it again.
            resume_(work, ADMIT_SAME);
            const Snapshot resumed = snapshot(work, skip_);
            if (resumed != target_)
                why = "--reinstall does not reach the upgraded state:\n" +
                      difference(target_, resumed);
            else
                outcome = after == before_ ? UNTOUCHED : RESUMED;
        }
        // A failed create or write of a package's file names the failure.
        const size_t failed = first.out.find("ERROR: installation of ");
        if (failed != std::string::npos &&
            first.out.find(createFailureText(err), failed) == std::string::npos &&
            first.out.find("broken package", failed) == std::string::npos)
            why += "wrong message\n";

        char label[96];
        std::snprintf(label, sizeof label, "%s #%ld failing with %s: ", kind.name, nth,
                      strerrorname_np(err));
        if (!why.empty()) {
            outcome = INCONSISTENT;
            problems += label + why + "  reported: " + errorLines(first) + "\n";
        }
        if (std::getenv("FAULTS_VERBOSE"))
            std::cout << label << OUTCOME_NAMES[outcome] << " | " << errorLines(first) << "\n";
        removeTree(work);
        return outcome;
    }

  private:
    std::string template_;
    Runner run_;
    Runner resume_;
    bool (*skip_)(const std::string&);
    Snapshot before_;
    Snapshot target_;
    std::string cleanOutput_;
};

class UpgradeFaults : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // The default flush syncs the whole machine, so that every case
        // would wait for every other writer's data; the file-by-file flush
        // moves in the same order.
        setDurabilityMode(DurabilityMode::FsyncEach);
        templateRoot_ = new std::string(makeTempDir("faults-template"));
        prepareUpgradeRoot(*templateRoot_, firstVersions(), nextVersions());
    }
    static void TearDownTestSuite() {
        removeTree(*templateRoot_);
        delete templateRoot_;
        setDurabilityMode(DurabilityMode::SyncAll);
    }
    static std::string* templateRoot_;
};

std::string* UpgradeFaults::templateRoot_ = nullptr;

TEST_F(UpgradeFaults, NormalPass) {
    FaultMatrix matrix(*templateRoot_, runNormalPassIn);
    const std::string& clean = matrix.cleanOutput();
    ASSERT_NE(clean.find("installed system-7.2"), std::string::npos) << clean;
    ASSERT_NE(clean.find("installed tools-7.2"), std::string::npos) << clean;
    ASSERT_NE(clean.find("installed branding-7.2"), std::string::npos) << clean;
    ASSERT_EQ(matrix.target().count("/flash/UPGRADED"), 1u);
    ASSERT_EQ(matrix.target().count("/flash/bin/legacy"), 0u);
    ASSERT_EQ(matrix.target().count("/flash/x/wireless/bin/wlctl"), 1u);
    ASSERT_EQ(matrix.target().count("/flash/rw/pckg/system.qpk"), 0u);

    std::string problems;
    EXPECT_EQ(matrix.runAll({ENOSPC, EIO, EACCES}, problems), 0) << problems;
}

// The saved manifest names the random names of the staged files.
bool skipPostLogAndSavedManifest(const std::string& rel) {
    return skipPostLog(rel) || rel == "/ram/MANIFEST";
}

TEST_F(UpgradeFaults, SavedAndCommitted) {
    // An interrupted commit is finished by committing again; what was not
    // committed at all is installed again.
    FaultMatrix matrix(*templateRoot_, runSafeThenCommitIn, skipPostLogAndSavedManifest,
                       [](const std::string& root, uint32_t allowance) {
                           runCommitIn(root);
                           return runSafeThenCommitIn(root, allowance);
                       });
    ASSERT_EQ(matrix.target().count("/flash/x/wireless/bin/wlctl"), 1u);

    std::string problems;
    EXPECT_EQ(matrix.runAll({ENOSPC, EIO, EACCES}, problems), 0) << problems;
}

// The image read from standard input is written in place before anything
// is applied, and stays after a failure.
bool skipPostLogAndImageCopy(const std::string& rel) {
    return skipPostLog(rel) || rel == "/flash/var/pdb/image";
}

TEST_F(UpgradeFaults, SystemImageFromStandardInput) {
    const std::string image = nextVersions().bundle;
    FaultMatrix matrix(
        *templateRoot_,
        [&image](const std::string& root, uint32_t allowance) {
            return runStdinInstallIn(root, image, allowance);
        },
        skipPostLogAndImageCopy);
    ASSERT_EQ(matrix.target().at("/flash/var/pdb/system/image"), "file 0644 " + image);

    std::string problems;
    EXPECT_EQ(matrix.runAll({ENOSPC, EIO, EACCES}, problems), 0) << problems;
}

}  // namespace
