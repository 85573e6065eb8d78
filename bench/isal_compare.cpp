// zlib's inflater against ISA-L's on the same zlib streams: the same bytes
// out, the same verdict at the end of the stream (complete, truncated,
// damaged check value, damaged data, bytes after the end), and the speed of
// each with the installer's 4 KiB windows and with 64 KiB windows.
//
//   isal_compare [PACKAGE_FILE...]
//
// Without arguments it compresses its own inputs; each package file given
// adds the zlib stream of its files part (type 4).
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Outcome {
    Bytes out;
    bool finished = false;  // the stream's end (with its check value) was reached
    bool error = false;     // the inflater reported damaged data
    size_t unread = 0;      // input bytes left over after the inflater stopped
};

// Two ways of driving an inflater, both with input handed over and output
// taken in windows of `window` bytes:
// - INSTALLER: the loop of the installer's inflating stream, which ends the
//   stream as soon as its input is used up and the source has no more;
// - DRAIN: calls the inflater again while it still makes output after the
//   input is used up.
enum Driver { INSTALLER, DRAIN };

Outcome zlibInflate(const Bytes& in, size_t window, bool keep, Driver driver = INSTALLER) {
    Outcome o;
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) {
        o.error = true;
        return o;
    }
    Bytes buffer(window);
    size_t offset = 0;
    for (;;) {
        if (zs.avail_in == 0 && offset < in.size()) {
            size_t n = std::min(window, in.size() - offset);
            zs.next_in = const_cast<Bytef*>(in.data() + offset);
            zs.avail_in = uInt(n);
            offset += n;
        } else if (zs.avail_in == 0 && driver == INSTALLER) {
            break;
        }
        zs.next_out = buffer.data();
        zs.avail_out = uInt(window);
        int r = inflate(&zs, Z_PARTIAL_FLUSH);
        size_t produced = window - zs.avail_out;
        if (keep)
            o.out.insert(o.out.end(), buffer.data(), buffer.data() + produced);
        else
            o.out.resize(o.out.size() + produced);
        if (r == Z_STREAM_END) {
            o.finished = true;
            break;
        }
        if (r != Z_OK && r != Z_BUF_ERROR) {
            o.error = true;
            break;
        }
        if (produced == 0 && zs.avail_in == 0 && offset == in.size()) break;
    }
    o.unread = zs.avail_in + (in.size() - offset);
    inflateEnd(&zs);
    return o;
}

Outcome isalInflate(const Bytes& in, size_t window, bool keep, Driver driver = INSTALLER) {
    Outcome o;
    auto state = std::make_unique<inflate_state>();
    isal_inflate_init(state.get());
    state->crc_flag = ISAL_ZLIB;
    Bytes buffer(window);
    size_t offset = 0;
    for (;;) {
        if (state->avail_in == 0 && offset < in.size()) {
            size_t n = std::min(window, in.size() - offset);
            state->next_in = const_cast<uint8_t*>(in.data() + offset);
            state->avail_in = uint32_t(n);
            offset += n;
        } else if (state->avail_in == 0 && driver == INSTALLER) {
            break;
        }
        state->next_out = buffer.data();
        state->avail_out = uint32_t(window);
        int r = isal_inflate(state.get());
        size_t produced = window - state->avail_out;
        if (keep)
            o.out.insert(o.out.end(), buffer.data(), buffer.data() + produced);
        else
            o.out.resize(o.out.size() + produced);
        if (r != ISAL_DECOMP_OK) {
            o.error = true;
            break;
        }
        if (state->block_state == ISAL_BLOCK_FINISH) {
            o.finished = true;
            break;
        }
        if (produced == 0 && state->avail_in == 0 && offset == in.size()) break;
    }
    // Whole bytes still buffered inside the inflater count as unread.
    o.unread = state->avail_in + (in.size() - offset) + size_t(state->read_in_length / 8);
    return o;
}

Bytes deflate(const Bytes& raw, int level) {
    uLongf n = compressBound(uLong(raw.size()));
    Bytes out(n);
    if (compress2(out.data(), &n, raw.data(), uLong(raw.size()), level) != Z_OK) std::abort();
    out.resize(n);
    return out;
}

uint64_t rng(uint64_t& s) {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return s * 0x2545F4914F6CDD1DULL;
}

Bytes makeInput(int kind, size_t n, uint64_t seed) {
    static const char* const words[] = {
        "the", "package", "install", "flash",     "router", "file",     "return", "static", "const",
        "if",  "else",    "enable",  "interface", "bridge", "wireless", "config", "value"};
    Bytes out;
    out.reserve(n + 64);
    while (out.size() < n) {
        uint64_t r = rng(seed);
        if (kind == 0) {
            const char* w = words[r % (sizeof words / sizeof *words)];
            out.insert(out.end(), w, w + std::strlen(w));
            out.push_back(r % 9 == 0 ? '\n' : ' ');
        } else if (kind == 1) {
            if (r % 4 == 0)
                out.insert(out.end(), 4 + (r >> 8) % 12, 0);
            else if (r % 4 == 1)
                out.insert(out.end(), {0x48, 0x8b, 0x45, 0xf8, 0x89, 0xc7, 0xe8});
            else
                for (int i = 0; i < 6; ++i) out.push_back(uint8_t((r >> (8 * i)) & 0x3F));
        } else {
            for (int i = 0; i < 8; ++i) out.push_back(uint8_t(r >> (8 * i)));
        }
    }
    out.resize(n);
    return out;
}

// The payload of the first part of type 4 in a package file, or empty.
Bytes filesPart(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    Bytes file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t at = 8;
    while (at + 6 <= file.size()) {
        uint16_t type = uint16_t(file[at] | file[at + 1] << 8);
        uint32_t length = uint32_t(file[at + 2]) | uint32_t(file[at + 3]) << 8 |
                          uint32_t(file[at + 4]) << 16 | uint32_t(file[at + 5]) << 24;
        at += 6;
        if (at + length > file.size()) break;
        if (type == 4) return Bytes(file.begin() + long(at), file.begin() + long(at + length));
        at += length;
    }
    return {};
}

// Best of `runs` in processor time of this process: on a shared machine the
// wall clock also counts the time other processes held the core.
double bestSeconds(const std::function<void()>& f, int runs) {
    auto now = [] {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
    };
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        double t0 = now();
        f();
        best = std::min(best, now() - t0);
    }
    return best;
}

int failures = 0;
int installerLoopDiffers = 0;

void check(bool ok, const std::string& what) {
    std::printf("  %-58s %s\n", what.c_str(), ok ? "same" : "DIFFERENT");
    if (!ok) ++failures;
}

bool sameVerdict(const Outcome& a, const Outcome& b) {
    return a.finished == b.finished && a.error == b.error;
}

std::string verdict(const Outcome& o) {
    char text[96];
    std::snprintf(text, sizeof text, "%s, %zu bytes out, %zu unread",
                  o.finished ? "end" : (o.error ? "error" : "no end"), o.out.size(), o.unread);
    return text;
}

void compare(const std::string& label, const Bytes& stream) {
    std::printf("%s: %zu compressed bytes\n", label.c_str(), stream.size());
    // The installer's own loop: zlib gives every byte with it; does ISA-L?
    Outcome z = zlibInflate(stream, 4096, true);
    Outcome zDrain = zlibInflate(stream, 4096, true, DRAIN);
    check(z.out == zDrain.out && sameVerdict(z, zDrain),
          "zlib, installer loop vs draining loop: bytes and end");
    Outcome iLoop = isalInflate(stream, 4096, true);
    bool loopSame = z.out == iLoop.out && sameVerdict(z, iLoop);
    std::printf("  %-58s %s\n", "ISA-L in the installer loop: bytes and end",
                loopSame ? "same" : "DIFFERENT (needs the draining loop)");
    if (!loopSame)
        std::printf("    zlib: %s; ISA-L: %s\n", verdict(z).c_str(), verdict(iLoop).c_str());
    installerLoopDiffers += !loopSame;

    // Everything below drives both inflaters with the draining loop.
    Outcome i = isalInflate(stream, 4096, true, DRAIN);
    check(z.out == i.out && sameVerdict(z, i), "whole stream, 4 KiB windows: bytes and end");
    Outcome i64 = isalInflate(stream, 65536, true, DRAIN);
    check(z.out == i64.out && sameVerdict(z, i64), "whole stream, 64 KiB windows: bytes and end");

    // Bytes after the end of the stream (the next part of a file): both stop
    // at the stream's end.
    Bytes trailing = stream;
    trailing.insert(trailing.end(), {0x09, 0x00, 0x84, 0x00, 0x00, 0x00});
    Outcome zt = zlibInflate(trailing, 4096, true, DRAIN);
    Outcome it = isalInflate(trailing, 4096, true, DRAIN);
    check(zt.out == it.out && sameVerdict(zt, it) && zt.unread == it.unread,
          "6 bytes after the end: bytes, end, bytes left unread");
    if (zt.unread != it.unread)
        std::printf("    zlib: %s; ISA-L: %s\n", verdict(zt).c_str(), verdict(it).c_str());

    // Cut short: neither reaches the end; the bytes produced so far agree
    // as far as both got.
    Bytes cut(stream.begin(), stream.begin() + long(stream.size() / 2));
    Outcome zc = zlibInflate(cut, 4096, true, DRAIN), ic = isalInflate(cut, 4096, true, DRAIN);
    size_t common = std::min(zc.out.size(), ic.out.size());
    check(sameVerdict(zc, ic) &&
              std::equal(zc.out.begin(), zc.out.begin() + long(common), ic.out.begin()),
          "cut at half: no end, same prefix");
    std::printf("    zlib: %s; ISA-L: %s\n", verdict(zc).c_str(), verdict(ic).c_str());

    // A damaged check value: both reject at the end, after the same bytes.
    Bytes badCheck = stream;
    badCheck.back() ^= 0x5A;
    Outcome zb = zlibInflate(badCheck, 4096, true, DRAIN);
    Outcome ib = isalInflate(badCheck, 4096, true, DRAIN);
    check(sameVerdict(zb, ib) && zb.error && zb.out == ib.out,
          "damaged check value: rejected after the same bytes");
    std::printf("    zlib: %s; ISA-L: %s\n", verdict(zb).c_str(), verdict(ib).c_str());

    // Damaged data in the middle: both stop (error or mismatched check).
    Bytes badData = stream;
    for (size_t k = badData.size() / 3; k < badData.size() / 3 + 16 && k < badData.size(); ++k)
        badData[k] ^= 0xFF;
    Outcome zd = zlibInflate(badData, 4096, true, DRAIN);
    Outcome id = isalInflate(badData, 4096, true, DRAIN);
    check(!zd.finished && !id.finished, "damaged data: neither reaches a good end");
    std::printf("    zlib: %s; ISA-L: %s\n", verdict(zd).c_str(), verdict(id).c_str());

    const size_t outBytes = z.out.size();
    const int runs = outBytes > (64u << 20) ? 3 : 5;
    double tz4 = bestSeconds([&] { zlibInflate(stream, 4096, false, DRAIN); }, runs);
    double ti4 = bestSeconds([&] { isalInflate(stream, 4096, false, DRAIN); }, runs);
    double tz64 = bestSeconds([&] { zlibInflate(stream, 65536, false, DRAIN); }, runs);
    double ti64 = bestSeconds([&] { isalInflate(stream, 65536, false, DRAIN); }, runs);
    auto mbs = [&](double t) { return double(outBytes) / t / 1e6; };
    std::printf(
        "  speed (MB/s of output)  zlib 4K %.0f  ISA-L 4K %.0f (x%.2f)  "
        "zlib 64K %.0f  ISA-L 64K %.0f (x%.2f)\n",
        mbs(tz4), mbs(ti4), tz4 / ti4, mbs(tz64), mbs(ti64), tz64 / ti64);
    std::printf("RESULT\t%s\t%zu\t%zu\t%.1f\t%.1f\t%.1f\t%.1f\n", label.c_str(), stream.size(),
                outBytes, mbs(tz4), mbs(ti4), mbs(tz64), mbs(ti64));
}

}  // namespace

int main(int argc, char** argv) {
    std::printf("zlib %s, ISA-L inflate (zlib wrapper)\n", zlibVersion());
    compare("empty stream", deflate(Bytes(), 6));
    compare("text 32 MiB, level 6", deflate(makeInput(0, 32u << 20, 1), 6));
    compare("machine code 32 MiB, level 6", deflate(makeInput(1, 32u << 20, 2), 6));
    compare("random 32 MiB, level 6", deflate(makeInput(2, 32u << 20, 3), 6));
    compare("text 32 MiB, level 9", deflate(makeInput(0, 32u << 20, 1), 9));
    for (int k = 1; k < argc; ++k) {
        Bytes stream = filesPart(argv[k]);
        if (stream.empty()) {
            std::printf("%s: no files part\n", argv[k]);
            ++failures;
            continue;
        }
        std::string name = argv[k];
        compare("files part of " + name.substr(name.find_last_of('/') + 1), stream);
    }
    std::printf("%s\n",
                failures ? "DIFFERENCES FOUND" : "all outputs and verdicts agree (draining loop)");
    std::printf("streams on which ISA-L needs the draining loop: %d\n", installerLoopDiffers);
    return failures ? 1 : 0;
}
