#!/usr/bin/env python3
"""Writes a benchmark payload tree, the same bytes on every run.

    gen_payload.py PROFILE DIR

Profiles:
  system  about 40 MB in about 3,000 files, a few directories deep, of mixed
          compressibility: text, machine code, and already compressed data
  small   20,000 files of 1 KiB in 100 directories
  large   two files of 100 MiB (one machine-code-like, one incompressible)
  1mb     1 MiB in 8 files (the memory reference for "large")
  db      300 tiny trees (pkg000 .. pkg299), one per package of the
          database used by --show and repository loading

Nothing depends on the time, the machine or Python's hash seed: each profile
has its own fixed random seed.
"""

import os
import random
import sys

MiB = 1024 * 1024


class Pools:
    """Byte pools that files are cut from, so that large amounts of data of a
    given compressibility come cheaply."""

    def __init__(self, rng):
        words = []
        letters = "etaoinshrdlucmfwypvbgkjqxz_"
        for _ in range(4000):
            n = rng.randint(2, 11)
            words.append("".join(rng.choice(letters[: rng.randint(8, 27)]) for _ in range(n)))
        zipf = []
        total = 0.0
        for rank in range(len(words)):
            total += 1.0 / (rank + 1)
            zipf.append(total)
        chunks = []
        size = 0
        while size < 4 * MiB:
            line = " ".join(rng.choices(words, cum_weights=zipf, k=rng.randint(3, 14)))
            if rng.random() < 0.2:
                line = "    " + line + ";"
            chunks.append(line)
            size += len(line) + 1
        self.text = ("\n".join(chunks) + "\n").encode()

        # Machine code: skewed byte values, runs of zeros, repeated idioms.
        idioms = [rng.randbytes(rng.randint(3, 12)) for _ in range(300)]
        skew = bytes(range(256))
        weights = [40 if b == 0 else (8 if b < 16 else (3 if b < 128 else 1)) for b in skew]
        parts = []
        size = 0
        while size < 4 * MiB:
            r = rng.random()
            if r < 0.6:
                piece = rng.choice(idioms)
            elif r < 0.7:
                piece = bytes(rng.randint(4, 64))
            else:
                piece = bytes(rng.choices(skew, weights=weights, k=rng.randint(4, 40)))
            parts.append(piece)
            size += len(piece)
        self.code = b"".join(parts)

    def cut(self, pool, rng, n):
        out = bytearray()
        while len(out) < n:
            start = rng.randrange(0, len(pool) - 1)
            out += pool[start : start + min(n - len(out), 256 * 1024)]
        return bytes(out)

    def content(self, kind, rng, n):
        if kind == "text":
            return self.cut(self.text, rng, n)
        if kind == "code":
            return self.cut(self.code, rng, n)
        return rng.randbytes(n)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def system(root):
    rng = random.Random(0x5157)
    pools = Pools(rng)
    tops = ["bin", "lib", "lib/modules", "share/www", "share/locale", "etc", "libexec"]
    dirs = []
    for top in tops:
        for a in range(rng.randint(3, 8)):
            base = f"{top}/d{a:02d}"
            dirs.append(base)
            for b in range(rng.randint(0, 4)):
                dirs.append(f"{base}/s{b}")
                if rng.random() < 0.3:
                    dirs.append(f"{base}/s{b}/x")
    target = 40 * 1000 * 1000
    count = 3000
    # Sizes: many small files, a tail of large ones, scaled to the target.
    sizes = [int(rng.lognormvariate(8.4, 1.4)) + 1 for _ in range(count)]
    for i in rng.sample(range(count), 6):
        sizes[i] = rng.randint(1 * MiB, 3 * MiB)
    scale = target / sum(sizes)
    sizes = [max(1, int(s * scale)) for s in sizes]
    sizes[-1] += target - sum(sizes)
    for i, size in enumerate(sizes):
        r = rng.random()
        kind = "text" if r < 0.45 else ("code" if r < 0.8 else "random")
        ext = {"text": ".txt", "code": ".so", "random": ".gz"}[kind]
        d = rng.choice(dirs)
        write(os.path.join(root, d, f"f{i:04d}{ext}"), pools.content(kind, rng, size))


def small(root):
    rng = random.Random(0x51A1)
    pools = Pools(rng)
    for i in range(20000):
        kind = "text" if i % 3 else "code"
        write(os.path.join(root, f"d{i // 200:03d}", f"f{i:05d}"), pools.content(kind, rng, 1024))


def large(root):
    rng = random.Random(0x1A26)
    pools = Pools(rng)
    n = 100 * MiB
    write(os.path.join(root, "images", "firmware.bin"), pools.content("code", rng, n))
    write(os.path.join(root, "images", "media.bin"), pools.content("random", rng, n))


def one_mb(root):
    rng = random.Random(0x0001)
    pools = Pools(rng)
    for i in range(8):
        kind = ("text", "code", "random")[i % 3]
        write(os.path.join(root, "images", f"part{i}.bin"), pools.content(kind, rng, MiB // 8))


def db(root):
    rng = random.Random(0x0DB)
    pools = Pools(rng)
    for p in range(300):
        for i in range(4):
            data = pools.content("text" if i % 2 else "code", rng, rng.randint(200, 4000))
            write(os.path.join(root, f"pkg{p:03d}", f"share/pkg{p:03d}/file{i}"), data)


PROFILES = {"system": system, "small": small, "large": large, "1mb": one_mb, "db": db}

if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in PROFILES:
        sys.exit(f"usage: {sys.argv[0]} {{{'|'.join(PROFILES)}}} DIR")
    if os.path.exists(sys.argv[2]) and os.listdir(sys.argv[2]):
        sys.exit(f"{sys.argv[2]} is not empty")
    PROFILES[sys.argv[1]](sys.argv[2])
