// The package tool's database queries and its plan on the fuzzer's flash
// trees (the database target's records, or the normal pass's tree of
// package files and records): no crash, JSON that parses, and nothing under
// the root changed.
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_inputs.h"
#include "fuzz_root.h"
#include "plan_report.h"
#include "query_reports.h"
#include "root_database.h"

namespace {

void requireValidJson(const qpk::Json& document) {
    if (!qpk::Json::accept(document.dump(-1, ' ', false, qpk::Json::error_handler_t::replace)))
        std::abort();
}

}  // namespace

// Input: [layout] then file records over kDatabaseFiles (layout even) or
// kTreeFiles (odd).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool tree = data[0] & 1;
    std::string rootDir;
    {
        qpk::RootContext scratch(fuzzSink());
        freshFuzzRoot(scratch.root, {"/flash/var/pdb", "/flash/rw/pckg", "/ram/pdb", "/rw/pckg"});
        rootDir = scratch.root.hostPath("/");
    }
    if (tree)
        writeFuzzRecords(kTreeFiles, kTreeFileCount, data + 1, size - 1);
    else
        writeFuzzRecords(kDatabaseFiles, kDatabaseFileCount, data + 1, size - 1);
    const std::string before = treeSnapshot();

    {
        qpk::RootContext installer(fuzzSink());
        std::string error;
        if (!qpk::loadRootDatabase(installer, rootDir, true, error)) std::abort();
        requireValidJson(qpk::listJson(installer));
        std::vector<std::string> paths = {"/flash/bin/tool", "/bin/a", "/flash/../etc/passwd", ""};
        for (const auto& p : installer.packages()) {
            requireValidJson(qpk::filesJson(*p));
            for (const std::string& file : qpk::sortedFiles(*p)) paths.push_back(file);
        }
        requireValidJson(qpk::ownerJson(installer, paths));
    }
    if (treeSnapshot() != before) std::abort();

    qpk::PlanLine line;
    line.root = rootDir;
    qpk::Json report;
    qpk::planOnRoot(line, fuzzSink(), report);
    if (!report.is_null()) requireValidJson(report);
    if (treeSnapshot() != before) std::abort();
    return 0;
}
