// Deterministic inputs shared by the micro-benchmarks: file contents of
// mixed compressibility and package files built from them.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "qpk/lib/builder.h"
#include "qpk/lib/signer.h"

namespace benchdata {

// xorshift64*: the same bytes on every machine.
class Rng {
  public:
    explicit Rng(uint64_t seed) : s_(seed ? seed : 1) {}
    uint64_t next() {
        s_ ^= s_ >> 12;
        s_ ^= s_ << 25;
        s_ ^= s_ >> 27;
        return s_ * 0x2545F4914F6CDD1DULL;
    }
    uint32_t below(uint32_t n) { return uint32_t(next() % n); }

  private:
    uint64_t s_;
};

// kind 0: text-like (compresses about 3:1), 1: machine-code-like (about
// 2:1), 2: random (does not compress).
inline std::string content(Rng& rng, int kind, size_t n) {
    static const char* const words[] = {
        "the",    "of",        "package", "install", "flash",    "router", "file",   "version",
        "return", "static",    "const",   "struct",  "if",       "else",   "for",    "while",
        "enable", "interface", "address", "bridge",  "wireless", "system", "config", "value"};
    std::string out;
    out.reserve(n);
    if (kind == 0) {
        while (out.size() < n) {
            out += words[rng.below(sizeof words / sizeof *words)];
            out += rng.below(9) == 0 ? '\n' : ' ';
        }
    } else if (kind == 1) {
        while (out.size() < n) {
            uint64_t r = rng.next();
            switch (r % 4) {
                case 0:
                    out.append(4 + (r >> 8) % 12, '\0');
                    break;
                case 1:
                    out.append("\x48\x8b\x45\xf8\x89\xc7\xe8", 7);
                    break;
                default:
                    for (int i = 0; i < 6; ++i) out += char((r >> (8 * i)) & 0x3F);
            }
        }
    } else {
        while (out.size() < n) {
            uint64_t r = rng.next();
            out.append(reinterpret_cast<const char*>(&r), 8);
        }
    }
    out.resize(n);
    return out;
}

// Files of mixed kinds adding up to about `total` bytes.
inline std::vector<qpk::FileEntry> files(uint64_t seed, size_t total, size_t fileSize) {
    Rng rng(seed);
    std::vector<qpk::FileEntry> out;
    size_t made = 0;
    for (int i = 0; made < total; ++i) {
        size_t n = std::min(fileSize, total - made);
        qpk::FileEntry e;
        e.name = "data/d" + std::to_string(i % 16) + "/f" + std::to_string(i);
        e.mode = 0100644;
        e.contents = content(rng, i % 3, n);
        out.push_back(std::move(e));
        made += n;
    }
    return out;
}

inline qpk::PackageRecipe recipe(const std::string& name, std::vector<qpk::FileEntry> files) {
    qpk::PackageRecipe s;
    s.name = name;
    s.version = 0x07106600;  // 7.16
    s.buildTime = 1700000000;
    s.architecture = "i386";
    s.files = std::move(files);
    return s;
}

// A signed package file written once to a temporary file that is removed at
// exit. Returns its path.
inline std::string writeTemp(const std::string& bytes) {
    char name[] = "/tmp/qpk-micro-XXXXXX";
    int fd = ::mkstemp(name);
    if (fd < 0) std::abort();
    ::close(fd);
    std::ofstream(name, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    static std::vector<std::string> made;
    static bool registered = false;
    if (!registered) {
        registered = true;
        std::atexit([] {
            for (const std::string& path : made) ::unlink(path.c_str());
        });
    }
    made.push_back(name);
    return name;
}

}  // namespace benchdata
