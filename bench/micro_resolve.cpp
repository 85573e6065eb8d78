// Dependency resolution over 500 candidate package files: 440 distinct
// packages, 50 older copies that are dropped, and 10 bundles of 5 members,
// with dependencies, provisions and conflicts among them.
#include <benchmark/benchmark.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "bench_data.h"
#include "engine/resolution.h"
#include "model/installer.h"

namespace {

std::string nameOf(int i) {
    return "pkg" + std::to_string(i);
}

std::vector<std::unique_ptr<PackageFile>> makeCandidates() {
    benchdata::Rng rng(500);
    std::vector<std::unique_ptr<PackageFile>> out;
    auto fill = [&](PackageFile& p, int i, Version v) {
        p.name = nameOf(i);
        p.version = v;
        p.buildTime = 1700000000 + uint32_t(i);
        p.architecture = "i386";
        p.path = "/flash/rw/pckg/" + p.name + ".qpk";
        for (uint32_t d = rng.below(4); d > 0 && i > 0; --d)
            p.depends.push_back(PackageRef{nameOf(int(rng.below(uint32_t(i)))), 0, 0, 0});
        if (i % 7 == 0)
            p.provides.push_back(PackageRef{"feature" + std::to_string(i % 5), 0, 0, 1});
        if (i % 11 == 0)
            p.conflicts.push_back(PackageRef{nameOf(int(rng.below(440))) + "x", 0, 0, 0});
    };
    for (int i = 0; i < 440; ++i) {
        auto p = std::make_unique<PackageFile>();
        fill(*p, i, 0x07100000 + Version(i % 3));
        out.push_back(std::move(p));
    }
    for (int k = 0; k < 50; ++k) {
        auto p = std::make_unique<PackageFile>();
        fill(*p, k * 8, 0x06300000);  // older than its namesake
        out.push_back(std::move(p));
    }
    for (int b = 0; b < 10; ++b) {
        auto bundle = std::make_unique<PackageFile>();
        fill(*bundle, 1000 + b, 0x07100000);
        bundle->isBundle = 1;
        for (int m = 0; m < 5; ++m) {
            auto member = std::make_unique<Package>("member" + std::to_string(b * 5 + m));
            member->version = 0x07100000;
            bundle->members.push_back(std::move(member));
        }
        out.push_back(std::move(bundle));
    }
    // Interleave so that older copies and bundles are spread through the list.
    for (size_t i = out.size() - 1; i > 0; --i) std::swap(out[i], out[rng.below(uint32_t(i + 1))]);
    return out;
}

void BM_ResolveCandidates(benchmark::State& state) {
    Installer installer;
    installer.console.quiet = 1;  // the dropped candidates' warnings are formatted, not printed
    installer.arch = "i386";
    // What is installed already: the first 100 packages at an older version.
    for (int i = 0; i < 100; ++i) {
        auto p = std::make_unique<InstalledPackage>(nameOf(i));
        p->version = 0x06300000;
        installer.append(std::move(p));
    }
    static const std::vector<std::unique_ptr<PackageFile>> candidates = makeCandidates();
    size_t kept = 0;
    for (auto _ : state) {
        std::list<Package*> list;
        for (const auto& c : candidates) list.push_back(c.get());
        resolveCandidates(installer, list, NO_DOWNGRADE, bool(state.range(0)));
        kept = list.size();
        benchmark::DoNotOptimize(list);
    }
    state.counters["candidates"] = double(candidates.size());
    state.counters["kept"] = double(kept);
}
BENCHMARK(BM_ResolveCandidates)->Arg(1)->ArgName("verbose")->Unit(benchmark::kMillisecond);

}  // namespace
