// The signature checks over a package digest (the legacy form and Ed25519),
// and the digest objects that the part stream feeds, in the sizes it feeds
// them.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "qpk/lib/signer.h"
#include "sign/crypto.h"
#include "sign/legacy.h"
#include "trust_keys.h"

namespace {

struct Signed {
    uint8_t digest[32] = {};
    std::string payload;  // the 132-byte signature part
};

const Signed& signedDigest() {
    static const Signed s = [] {
        Signed out;
        for (int i = 0; i < 20; ++i) out.digest[i] = uint8_t(i * 37 + 11);
        std::string error;
        if (!qpk::signDigest(qpk::developmentKeys(), out.digest, out.payload, error) ||
            out.payload.size() != 132)
            out.payload.clear();
        return out;
    }();
    return s;
}

const uint8_t* bytes(const std::string& s, size_t offset) {
    return reinterpret_cast<const uint8_t*>(s.data()) + offset;
}

void BM_LegacySignatureCheck(benchmark::State& state) {
    const Signed& s = signedDigest();
    if (s.payload.empty()) {
        state.SkipWithError("development keys could not sign");
        return;
    }
    for (auto _ : state) {
        bool ok = legacySignatureCheck(s.digest, bytes(s.payload, 20), bytes(s.payload, 36));
        if (!ok) state.SkipWithError("legacy signature rejected");
        benchmark::DoNotOptimize(ok);
    }
}
BENCHMARK(BM_LegacySignatureCheck)->Unit(benchmark::kMicrosecond);

void BM_Ed25519Verify(benchmark::State& state) {
    const Signed& s = signedDigest();
    if (s.payload.empty()) {
        state.SkipWithError("development keys could not sign");
        return;
    }
    const asn1::blob key{TRUST_ED25519_PUBLIC, TRUST_ED25519_PUBLIC + 32};
    const asn1::blob message{s.digest, s.digest + 32};
    const asn1::blob signature{bytes(s.payload, 68), bytes(s.payload, 132)};
    for (auto _ : state) {
        int ok = eddsa::verify(key, message, signature);
        if (!ok) state.SkipWithError("Ed25519 signature rejected");
        benchmark::DoNotOptimize(ok);
    }
}
BENCHMARK(BM_Ed25519Verify)->Unit(benchmark::kMicrosecond);

// Feeding the running digest in pieces of the given size (1: the
// single-character path of the part stream; 6: a part header; 4096: one
// input window of the inflater; 16384: one skip or copy piece).
template <class Digest>
void BM_DigestFeed(benchmark::State& state) {
    const size_t piece = size_t(state.range(0));
    const size_t total = 1 << 20;
    std::vector<char> data(total, 'x');
    Digest digest;
    uint8_t out[Digest::SIZE];
    for (auto _ : state) {
        for (size_t done = 0; done < total; done += piece) digest.update(data.data() + done, piece);
        digest.finish(out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(total));
}
BENCHMARK(BM_DigestFeed<SHA1>)
    ->Arg(1)
    ->Arg(6)
    ->Arg(4096)
    ->Arg(16384)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DigestFeed<SHA256>)->Arg(4096)->Arg(16384)->Unit(benchmark::kMicrosecond);

// What a PackageReader pays for its two digest objects on construction.
void BM_DigestObjects(benchmark::State& state) {
    for (auto _ : state) {
        SHA1 a;
        SHA256 b;
        benchmark::DoNotOptimize(&a);
        benchmark::DoNotOptimize(&b);
    }
}
BENCHMARK(BM_DigestObjects);

}  // namespace
