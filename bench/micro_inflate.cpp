// The inflating stream: InflateStreamBuffer over an in-memory zlib stream
// in the installer's piece sizes, the record walk that extraction does over
// small files, the whole read path (file, part stream with digest, inflater),
// and plain zlib calls with several window sizes as the floor.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <istream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_data.h"
#include "fs/fd_stream.h"
#include "fs/rootfs.h"
#include "pkgfile/inflate_stream.h"
#include "pkgfile/package_reader.h"

namespace {

struct Stream {
    std::string compressed;
    size_t inflated = 0;
};

// Mixed content in files of 256 KiB (`small` false) or 1 KiB (`small` true).
const Stream& stream(bool small) {
    static const Stream streams[2] = {
        [] {
            std::string raw = qpk::fileRecords(benchdata::files(11, 24u << 20, 256u << 10));
            return Stream{qpk::deflateBytes(raw, 6), raw.size()};
        }(),
        [] {
            std::string raw = qpk::fileRecords(benchdata::files(12, 8u << 20, 1024));
            return Stream{qpk::deflateBytes(raw, 6), raw.size()};
        }(),
    };
    return streams[small ? 1 : 0];
}

void BM_InflateStream(benchmark::State& state) {
    const Stream& s = stream(false);
    const std::streamsize piece = state.range(0);
    std::vector<char> buffer(static_cast<size_t>(piece));
    for (auto _ : state) {
        std::stringbuf source(s.compressed, std::ios::in);
        InflateStreamBuffer inflater(&source);
        std::istream in(&inflater);
        uint64_t total = 0;
        while (in.read(buffer.data(), piece) || in.gcount() > 0) total += uint64_t(in.gcount());
        if (total != s.inflated) state.SkipWithError("short inflate");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.inflated));
}
BENCHMARK(BM_InflateStream)->Arg(1)->Arg(4096)->Arg(16384)->Unit(benchmark::kMillisecond);

// The walk of extractFiles without the writes: a 30-byte record, the name,
// then the contents in pieces of at most 16 KiB.
uint64_t walkRecords(std::istream& in) {
    static char buffer[16384];
    uint64_t files = 0;
    unsigned char raw[30];
    while (in.read(reinterpret_cast<char*>(raw), sizeof raw)) {
        uint32_t size = uint32_t(raw[24]) | uint32_t(raw[25]) << 8 | uint32_t(raw[26]) << 16 |
                        uint32_t(raw[27]) << 24;
        uint16_t nameLength = uint16_t(raw[28] | raw[29] << 8);
        std::string name(nameLength, '\0');
        if (!in.read(name.data(), nameLength)) break;
        for (uint32_t left = size; left > 0;) {
            uint32_t piece = left < sizeof buffer ? left : uint32_t(sizeof buffer);
            if (!in.read(buffer, piece)) return files;
            left -= piece;
        }
        ++files;
    }
    return files;
}

void BM_InflateRecordWalk(benchmark::State& state) {
    const Stream& s = stream(state.range(0) != 0);
    uint64_t files = 0;
    for (auto _ : state) {
        std::stringbuf source(s.compressed, std::ios::in);
        InflateStreamBuffer inflater(&source);
        std::istream in(&inflater);
        files = walkRecords(in);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.inflated));
    state.counters["files"] = double(files);
}
BENCHMARK(BM_InflateRecordWalk)->Arg(0)->Arg(1)->ArgName("small")->Unit(benchmark::kMillisecond);

// The whole read path of an install: a package file on disk, the part
// stream with the SHA-1 digest, the inflater, the record walk.
void BM_InflateFromPackageFile(benchmark::State& state) {
    static const std::string path = [] {
        qpk::PackageRecipe recipe =
            benchdata::recipe("big", benchdata::files(11, 24u << 20, 256u << 10));
        return benchdata::writeTemp(qpk::buildPackage(recipe, qpk::developmentKeys()));
    }();
    for (auto _ : state) {
        rootfs::Root host;
        InFile file(host, path);
        PackageReader reader(file, true, nullptr);
        reader.wanted = {PART_FILES};
        if (reader.nextPart() != PART_FILES) state.SkipWithError("no files part");
        InflateStreamBuffer inflater(reader.rdbuf());
        std::istream in(&inflater);
        benchmark::DoNotOptimize(walkRecords(in));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream(false).inflated));
}
BENCHMARK(BM_InflateFromPackageFile)->Unit(benchmark::kMillisecond);

// zlib alone, input and output windows of the given size.
void BM_ZlibInflateWindow(benchmark::State& state) {
    const Stream& s = stream(false);
    const size_t window = size_t(state.range(0));
    std::vector<unsigned char> out(window);
    for (auto _ : state) {
        z_stream zs{};
        inflateInit(&zs);
        size_t offset = 0;
        uint64_t total = 0;
        int result = Z_OK;
        while (result == Z_OK) {
            if (zs.avail_in == 0) {
                size_t n = std::min(window, s.compressed.size() - offset);
                if (n == 0) break;
                zs.next_in =
                    reinterpret_cast<Bytef*>(const_cast<char*>(s.compressed.data())) + offset;
                zs.avail_in = uInt(n);
                offset += n;
            }
            zs.next_out = out.data();
            zs.avail_out = uInt(window);
            result = inflate(&zs, Z_PARTIAL_FLUSH);
            total += window - zs.avail_out;
        }
        inflateEnd(&zs);
        if (total != s.inflated) state.SkipWithError("short inflate");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.inflated));
}
BENCHMARK(BM_ZlibInflateWindow)->Arg(4096)->Arg(16384)->Arg(65536)->Unit(benchmark::kMillisecond);

}  // namespace
