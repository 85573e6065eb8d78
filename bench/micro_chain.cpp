// The schedule over a chain of needs as long as the package list: p0 needs
// p1, p1 needs p2, and so on, every link disabled and p0 to be enabled, so
// that enabling p0 enables every link. In the "missing" variant nobody meets
// the last link's need: the last link goes and the others stay disabled,
// each with its state file staged.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/schedule.h"
#include "model/installer.h"
#include "txn/manifest.h"

namespace {

// Made once, on tmpfs where there is one (the staged state files would
// otherwise measure the disk's file system); it is removed at exit.
const std::string& scratchRoot() {
    static const std::string root = [] {
        std::string dir = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        dir += "/qpk-micro-chain-XXXXXX";
        if (!::mkdtemp(dir.data())) std::abort();
        std::filesystem::create_directories(dir + "/flash/var/pdb");
        std::filesystem::create_directories(dir + "/ram");
        return dir;
    }();
    // Registered once root is made, so that it runs before root is destroyed.
    static const int removal = std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    });
    (void)removal;
    return root;
}

void plantChain(Installer& installer, int length, bool lastNeedMissing) {
    for (int i = 0; i < length; ++i) {
        auto p = std::make_unique<InstalledPackage>("p" + std::to_string(i));
        p->version = 0x07100000;
        p->buildTime = 1700000000;
        p->disabled = 1;
        if (i + 1 < length)
            p->depends.push_back(PackageRef{"p" + std::to_string(i + 1), 0, 0, 0});
        else if (lastNeedMissing)
            p->depends.push_back(PackageRef{"missing", 0, 0, 0});
        installer.append(std::move(p));
    }
    installer.packages()[0]->scheduledAction = ACTION_ENABLE;
    // Keeps the router from being left without an enabled package.
    if (lastNeedMissing) installer.append(std::make_unique<InstalledPackage>("other"));
}

void BM_ScheduleChain(benchmark::State& state) {
    const int length = int(state.range(0));
    const bool missing = state.range(1) != 0;
    Installer installer;
    if (!installer.root.setDirectory(scratchRoot())) std::abort();
    installer.console.quiet = 1;
    FileManifest manifest(installer.root, installer.console);
    size_t enabled = 0;
    for (auto _ : state) {
        state.PauseTiming();
        while (!installer.packages().empty()) installer.take(installer.packages().back().get());
        plantChain(installer, length, missing);
        state.ResumeTiming();
        applySchedule(installer, manifest, 0);
        state.PauseTiming();
        enabled = 0;
        for (const auto& p : installer.packages()) enabled += !p->disabled;
        manifest.cancel();
        state.ResumeTiming();
    }
    if (enabled != (missing ? 1u : size_t(length))) state.SkipWithError("unexpected outcome");
    state.counters["records"] = double(length);
    state.counters["enabled"] = double(enabled);
}
BENCHMARK(BM_ScheduleChain)
    ->ArgsProduct({{1000, 10000, 30000}, {0, 1}})
    ->ArgNames({"links", "missing"})
    ->Unit(benchmark::kMillisecond);

}  // namespace
