// Repository loading at start-up: PackageDatabase::open over a database of
// 300 package records, written once through the installer's own record
// writer and manifest into a temporary root.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_data.h"
#include "model/installer.h"
#include "pdb/database.h"
#include "txn/manifest.h"

namespace {

constexpr int RECORDS = 300;

std::string nameOf(int i) {
    return "pkg" + std::to_string(i);
}

// Makes the root once; it is removed at exit.
const std::string& databaseRoot() {
    static const std::string root = [] {
        char pattern[] = "/tmp/qpk-micro-root-XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        std::string dir = pattern;
        std::filesystem::create_directories(dir + "/flash/var/pdb");
        std::filesystem::create_directories(dir + "/ram");
        benchdata::Rng rng(300);
        Installer installer;
        if (!installer.root.setDirectory(dir)) std::abort();
        FileManifest manifest(installer.root, installer.console);
        for (int i = 0; i < RECORDS; ++i) {
            InstalledPackage p(nameOf(i));
            p.version = 0x07100000 + Version(i % 5);
            p.buildTime = 1700000000 + uint32_t(i);
            for (uint32_t d = rng.below(3); d > 0 && i > 0; --d)
                p.depends.push_back(PackageRef{nameOf(int(rng.below(uint32_t(i)))), 0, 0, 0});
            if (i % 10 == 0)
                p.provides.push_back(PackageRef{"feature" + std::to_string(i), 0, 0, 1});
            if (i % 13 == 0) p.conflicts.push_back(PackageRef{nameOf(i) + "-old", 0, 0, 0});
            for (int f = 0; f < 12; ++f)
                p.files.insert("/flash/share/" + p.name + "/file" + std::to_string(f));
            p.disabled = i % 17 == 0;
            if (!PackageDatabase::writeRecord(installer, p, manifest)) std::abort();
        }
        manifest.apply(false);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(root, ignored);
        });
        return dir;
    }();
    return root;
}

void BM_RepositoryOpen(benchmark::State& state) {
    Installer installer;
    installer.root.setDirectory(databaseRoot());
    size_t loaded = 0;
    for (auto _ : state) {
        while (!installer.packages().empty()) installer.take(installer.packages().back().get());
        PackageDatabase::open(installer, true, "i386");
        loaded = installer.packages().size();
    }
    if (loaded != RECORDS) state.SkipWithError("not every record was loaded");
    state.counters["records"] = double(loaded);
}
BENCHMARK(BM_RepositoryOpen)->Unit(benchmark::kMillisecond);

}  // namespace
