// The part stream over a large package file: every part read through the
// PackageReader, with and without the running digest, in the piece size the
// extraction uses and in single characters.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_data.h"
#include "fs/fd_stream.h"
#include "fs/rootfs.h"
#include "pkgfile/package_reader.h"

namespace {

struct LargePackage {
    std::string path;
    size_t size = 0;
};

const LargePackage& largePackage() {
    static const LargePackage package = [] {
        qpk::PackageRecipe s = benchdata::recipe("large", benchdata::files(7, 48u << 20, 4u << 20));
        std::string bytes = qpk::buildPackage(s, qpk::developmentKeys());
        LargePackage p;
        p.size = bytes.size();
        p.path = benchdata::writeTemp(bytes);
        return p;
    }();
    return package;
}

// Reads every part of the file whole, `piece` bytes at a time.
uint64_t readAllParts(const std::string& path, bool hashing, size_t piece) {
    rootfs::Root host;
    InFile file(host, path);
    PackageReader reader(file, hashing, nullptr);
    for (uint32_t t = 1; t <= 25; ++t) reader.wanted.push_back(t);
    static char buffer[1 << 16];
    uint64_t total = 0;
    while (reader.nextPart() >= 0) {
        if (reader.currentType() == PART_SIGNATURE) reader.parts().finishDigest();
        for (;;) {
            reader.read(buffer, std::streamsize(piece));
            std::streamsize got = reader.gcount();
            total += uint64_t(got);
            if (got < std::streamsize(piece)) break;
        }
        reader.clear();
    }
    return total;
}

void BM_ReaderWithDigest(benchmark::State& state) {
    const LargePackage& p = largePackage();
    for (auto _ : state)
        benchmark::DoNotOptimize(readAllParts(p.path, true, size_t(state.range(0))));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(p.size));
}
BENCHMARK(BM_ReaderWithDigest)->Arg(4096)->Arg(16384)->Unit(benchmark::kMillisecond);

void BM_ReaderWithoutDigest(benchmark::State& state) {
    const LargePackage& p = largePackage();
    for (auto _ : state) benchmark::DoNotOptimize(readAllParts(p.path, false, 16384));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(p.size));
}
BENCHMARK(BM_ReaderWithoutDigest)->Unit(benchmark::kMillisecond);

// Single-character reads through the part stream (the per-byte path taken
// by any reader that uses get()), over the first 4 MiB of the files part.
void BM_ReaderGetChar(benchmark::State& state) {
    const LargePackage& p = largePackage();
    const int64_t n = 4 << 20;
    for (auto _ : state) {
        rootfs::Root host;
        InFile file(host, p.path);
        PackageReader reader(file, true, nullptr);
        reader.wanted = {PART_FILES};
        reader.nextPart();
        uint64_t sum = 0;
        for (int64_t i = 0; i < n; ++i) sum += uint64_t(reader.get());
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * n);
}
BENCHMARK(BM_ReaderGetChar)->Unit(benchmark::kMillisecond);

}  // namespace
