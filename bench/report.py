#!/usr/bin/env python3
"""Writes bench/RESULTS.md from the raw results of bench/run.

    report.py --out RAWDIR --results RESULTS.md --reps N --command CMD

Everything from the line "## Analysis" on is kept from the existing
RESULTS.md: that part is written by hand after looking at a run.
"""

import argparse
import json
import os
import re
import statistics

# installer / tar -xzf, wall, by profile and file system.
GOAL_TAR = {
    ("system", "tmpfs"): 0.80, ("system", "disk"): 1.00,
    ("small", "tmpfs"): 1.00, ("small", "disk"): 1.00,
    ("large", "tmpfs"): 0.50, ("large", "disk"): 0.70,
}
GOAL_RSS_KIB = 8 * 1024
GOAL_SHOW_MS = 50.0
SMALL_FILES = 20000


def read(path, default=""):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return default


def med(values):
    return statistics.median(values) if values else float("nan")


def fmt_s(v):
    return f"{v:.3f}" if v == v else "–"


def verdict(ok):
    return "**met**" if ok else "**NOT met**"


def timing(out):
    rows = []
    for line in read(os.path.join(out, "timing.jsonl")).splitlines():
        if line.strip():
            rows.append(json.loads(line))
    groups = {}
    for r in rows:
        groups.setdefault((r["fs"], r["profile"], r["tool"]), []).append(r)
    summary = {}
    for key, rs in groups.items():
        summary[key] = {
            "n": len(rs),
            "wall": med([r["wall"] for r in rs]),
            "wall_min": min(r["wall"] for r in rs),
            "wall_max": max(r["wall"] for r in rs),
            "cpu": med([r["cpu"] for r in rs]),
            "user": med([r["user"] for r in rs]),
            "sys": med([r["sys"] for r in rs]),
            "rss": max(r["maxrss_kib"] for r in rs),
            "ok": all(r["ok"] for r in rs),
        }
    return summary


def strace_calls(path):
    """{syscall: calls} and the total from an `strace -c` summary."""
    calls = {}
    total = 0
    for line in read(path).splitlines():
        m = re.match(r"\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(\d*)\s*(\w+)\s*$", line)
        if m and m.group(3) != "total":
            calls[m.group(3)] = int(m.group(1))
        m = re.match(r"\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(\d*)\s*total\s*$", line)
        if m:
            total = int(m.group(1))
    return calls, total


def micro(out):
    rows = []
    for name in ("reader", "inflate", "sign", "resolve", "repository", "chain"):
        text = read(os.path.join(out, f"micro_{name}.json"))
        if not text:
            continue
        data = json.loads(text)
        for b in data.get("benchmarks", []):
            if b.get("run_type") == "aggregate":
                continue
            extra = []
            if "bytes_per_second" in b:
                extra.append(f"{b['bytes_per_second'] / 1e6:.0f} MB/s")
            for k in ("files", "candidates", "kept", "records", "enabled"):
                if k in b:
                    extra.append(f"{k} {b[k]:.0f}")
            if b.get("error_occurred"):
                extra.append("ERROR: " + b.get("error_message", ""))
            rows.append((f"micro_{name}", b["name"], b["real_time"], b["cpu_time"], b["time_unit"], ", ".join(extra)))
    return rows


def callgrind_top(path, n=20):
    """(total, [(Ir, percent, function)]) of a callgrind_annotate listing."""
    text = read(path)
    total = None
    rows = []
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\(100\.0%\)\s+PROGRAM TOTALS", line)
        if m:
            total = int(m.group(1).replace(",", ""))
            continue
        m = re.match(r"\s*([\d,]+)\s+\(\s*([\d.]+)%\)\s+(.*)$", line)
        if m and total is not None:
            fn = m.group(3)
            fn = re.sub(r"std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >", "std::string", fn)
            fn = re.sub(r"\[/[^\]]*/([^/\]]+)\]", r"[\1]", fn)
            fn = re.sub(r"^\./[^:]*/", "", fn)
            rows.append((int(m.group(1).replace(",", "")), float(m.group(2)), fn))
            if len(rows) >= n:
                break
    return total, rows


def perf_top(path, n=15):
    rows = []
    for line in read(path).splitlines():
        m = re.match(r"\s*([\d.]+)%\s+(\S+)\s+\[(.)\]\s+(.*)$", line)
        if m:
            rows.append((float(m.group(1)), m.group(2), m.group(4).strip()))
            if len(rows) >= n:
                break
    return rows


def perf_dso(path):
    rows = []
    for line in read(path).splitlines():
        m = re.match(r"\s*([\d.]+)%\s+(\S+)\s*$", line)
        if m:
            rows.append((float(m.group(1)), m.group(2)))
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    ap.add_argument("--results", required=True)
    ap.add_argument("--reps", required=True)
    ap.add_argument("--command", required=True)
    args = ap.parse_args()
    out = args.out
    md = []
    w = md.append

    kept = ""
    old = read(args.results)
    if "\n## Analysis" in old:
        kept = old[old.index("\n## Analysis") + 1 :]

    w("# Benchmark results\n")
    w("The installer against `tar -xzf` and `dpkg --unpack` on the same payloads, and "
      "micro-benchmarks of its hot paths. Reproduce with:\n")
    w("```\n" + args.command + "\n```\n")
    w("(as root, from the source tree; `bench/run --help` lists the steps and settings; the raw "
      "results land in `build-bench/bench-out/`). The machine is shared: other builds and "
      "tests may have been running during the measurement; the load average before and after "
      "is recorded below. Each timed repetition runs every tool once, in an order that rotates "
      "from one repetition to the next, each on a fresh target directory; medians are shown.\n")

    w("## Machine\n")
    w("```\n" + read(os.path.join(out, "machine.txt")).strip() + "\n```\n")

    w("## Payloads and packages\n")
    w("| profile | files | bytes | .qpk | .tar.gz | .deb |\n|---|---:|---:|---:|---:|---:|")
    for line in read(os.path.join(out, "packages.txt")).splitlines():
        w(line)
    w("")
    w("All three packages of a profile come from the same tree at zlib level 6 (`qpk build` "
      "always deflates at 6; `gzip -6`; `dpkg-deb -Zgzip -z6`). The .qpk is signed with the "
      "development key. The installer runs as `installer -r ROOT` (it chroots into ROOT) with "
      "the package in ROOT/flash/rw/pckg/ and ROOT/flash/var/pdb/ and ROOT/ram present; tar as "
      "`tar -xzf PKG -C DIR`; dpkg as `dpkg --root=ROOT --admindir=ROOT/var/lib/dpkg "
      "--force-not-root --force-script-chrootless --log=/dev/null --unpack PKG` with an empty "
      "status, available, updates/ and info/. Every tool's tree was checked byte for byte "
      "against the payload in an untimed warm-up round.\n")

    s = timing(out)
    fss = [fs for fs in ("tmpfs", "disk") if any(k[0] == fs for k in s)]
    ratios = {}
    for fs in fss:
        w(f"## End to end on {fs}\n")
        if fs == "disk":
            w("`sync` runs (untimed) before every timed run, so that no run pays for the dirty "
              "pages of the one before. The installer ends its apply step with `sync()` (it "
              "flushes before and after the moves), tar does not: `tar+sync` is tar followed by "
              "`sync`, the same guarantee. dpkg syncs its files by default; "
              "`dpkg-unsafe-io` is `--force-unsafe-io`.\n")
        w("| profile | tool | wall median (s) | wall min–max (s) | CPU user+sys (s) | user / sys (s) | peak RSS (MiB) | runs |")
        w("|---|---|---:|---:|---:|---:|---:|---:|")
        profiles = [p for p in ("system", "small", "large", "1mb") if any(k[0] == fs and k[1] == p for k in s)]
        for p in profiles:
            for tool in ("installer", "tar", "tar+sync", "dpkg", "dpkg-unsafe-io"):
                r = s.get((fs, p, tool))
                if not r:
                    continue
                w(f"| {p} | {tool}{'' if r['ok'] else ' (FAILED)'} | {fmt_s(r['wall'])} | "
                  f"{r['wall_min']:.3f}–{r['wall_max']:.3f} | {fmt_s(r['cpu'])} | "
                  f"{r['user']:.3f} / {r['sys']:.3f} | {r['rss'] / 1024:.1f} | {r['n']} |")
        w("")
        w("| profile | installer / tar wall | installer / tar CPU | installer / tar+sync wall | installer / dpkg wall | installer / dpkg CPU |")
        w("|---|---:|---:|---:|---:|---:|")
        for p in profiles:
            i = s.get((fs, p, "installer"))
            t = s.get((fs, p, "tar"))
            ts = s.get((fs, p, "tar+sync"))
            d = s.get((fs, p, "dpkg"))
            if not (i and t and d):
                continue
            ratios[(fs, p)] = (i["wall"] / t["wall"], i["wall"] / d["wall"])
            w(f"| {p} | {i['wall'] / t['wall']:.2f} | {i['cpu'] / t['cpu']:.2f} | "
              f"{(i['wall'] / ts['wall']) if ts else float('nan'):.2f} | "
              f"{i['wall'] / d['wall']:.2f} | {i['cpu'] / d['cpu']:.2f} |".replace("nan", "–"))
        w("")

    # System calls.
    ci, ti = strace_calls(os.path.join(out, "strace-installer.txt"))
    ct, tt = strace_calls(os.path.join(out, "strace-tar.txt"))
    cd, td = strace_calls(os.path.join(out, "strace-dpkg.txt"))
    if ti and tt:
        w("## System calls per installed file (profile small, 20,000 files, tmpfs)\n")
        w("`strace -f -c` over the whole run (tar includes its gzip child, dpkg its dpkg-deb "
          "children), divided by the 20,000 installed files. "
          + read(os.path.join(out, "strace-files.txt")).strip() + ".\n")
        names = sorted(set(ci) | set(ct) | set(cd), key=lambda k: -max(ci.get(k, 0), ct.get(k, 0), cd.get(k, 0)))
        w("| system call | installer | tar -xzf | dpkg --unpack |\n|---|---:|---:|---:|")
        for k in names:
            if max(ci.get(k, 0), ct.get(k, 0), cd.get(k, 0)) < SMALL_FILES * 0.02:
                continue
            w(f"| {k} | {ci.get(k, 0) / SMALL_FILES:.2f} | {ct.get(k, 0) / SMALL_FILES:.2f} | {cd.get(k, 0) / SMALL_FILES:.2f} |")
        w(f"| **all** | **{ti / SMALL_FILES:.2f}** | **{tt / SMALL_FILES:.2f}** | **{td / SMALL_FILES:.2f}** |")
        w("")

    # Memory.
    mem = {}
    for line in read(os.path.join(out, "memory.txt")).splitlines():
        m = re.match(r"(\S+) (\d+) KiB", line)
        if m:
            mem.setdefault(m.group(1), []).append(int(m.group(2)))
    if mem:
        w("## Peak memory of the installer\n")
        w("`/usr/bin/time -f %M` over three runs each (tmpfs), peak resident set in KiB. The "
          "peaks of the other profiles are in the tables above (the largest of the timed "
          "runs).\n")
        w("| package | runs (KiB) | max (MiB) |\n|---|---|---:|")
        for p in ("1mb", "large"):
            if p in mem:
                w(f"| {p} | {', '.join(map(str, mem[p]))} | {max(mem[p]) / 1024:.2f} |")
        w("")

    # --show.
    show = read(os.path.join(out, "show.json"))
    show_ms = None
    if show:
        res = json.loads(show)["results"][0]
        show_ms = res["median"] * 1000
        w("## --show over a database of 300 packages (tmpfs)\n")
        w("The database was made by one normal pass of the installer over 300 package files "
          "(every third depends on pkg000, every tenth provides a name): "
          + read(os.path.join(out, "db-install.txt")).strip().replace("\n", "; ") + ".\n")
        w(f"`hyperfine -N --warmup 5` of `installer -r ROOT --show`: median {show_ms:.1f} ms, "
          f"mean {res['mean'] * 1000:.1f} ms ± {res['stddev'] * 1000:.1f} ms, "
          f"min {res['min'] * 1000:.1f} ms, max {res['max'] * 1000:.1f} ms over {len(res['times'])} runs.\n")

    # Growth curve: bench/scale.py writes the section's text, verdicts included.
    scale = read(os.path.join(out, "scale.md")).strip()
    if scale:
        w("## Growth curve\n")
        w(scale + "\n")

    # Goals.
    w("## Goals\n")
    w("| goal | measured | verdict |\n|---|---|---|")
    for fs in fss:
        for p in ("system", "small", "large"):
            if (fs, p) in ratios and (p, fs) in GOAL_TAR:
                r, goal = ratios[(fs, p)][0], GOAL_TAR[(p, fs)]
                w(f"| installer / tar -xzf ≤ {goal:.2f} ({p}, {fs}) | {r:.2f} | {verdict(r <= goal)} |")
    for fs in fss:
        for p in ("system", "small", "large"):
            if (fs, p) in ratios:
                r = ratios[(fs, p)][1]
                w(f"| installer faster than dpkg --unpack ({p}, {fs}) | {r:.2f} | {verdict(r < 1)} |")
    if ti and tt:
        a, b = ti / SMALL_FILES, tt / SMALL_FILES
        w(f"| system calls per installed file ≤ tar's (small) | {a:.2f} vs {b:.2f} | {verdict(a <= b)} |")
    for p in ("system", "small", "large", "1mb"):
        peaks = [r["rss"] for (fs, prof, tool), r in s.items() if prof == p and tool == "installer"]
        if peaks:
            w(f"| peak RSS ≤ 8 MiB ({p}, timed runs) | {max(peaks) / 1024:.2f} MiB | {verdict(max(peaks) <= GOAL_RSS_KIB)} |")
    if mem.get("1mb") and mem.get("large"):
        big, small = max(mem["large"]), max(mem["1mb"])
        w(f"| peak RSS of large = of 1 MiB package (±256 KiB) | {big} vs {small} KiB | {verdict(abs(big - small) <= 256)} |")
    if show_ms is not None:
        w(f"| --show on 300 packages < {GOAL_SHOW_MS:.0f} ms | {show_ms:.1f} ms | {verdict(show_ms < GOAL_SHOW_MS)} |")
    w("")

    rows = micro(out)
    if rows:
        w("## Micro-benchmarks (Google Benchmark)\n")
        w("Debian's libbenchmark prints \"Library was built as DEBUG\": that is the framework "
          "library's own build and does not affect the code measured, which is the Release "
          "build of the installer's modules.\n")
        w("| binary | benchmark | wall | CPU | notes |\n|---|---|---:|---:|---|")
        for b, name, real, cpu, unit, extra in rows:
            w(f"| {b} | {name} | {real:.3g} {unit} | {cpu:.3g} {unit} | {extra} |")
        w("")

    isal = read(os.path.join(out, "isal.txt"))
    if isal:
        w("## zlib against ISA-L's inflater (bench/isal_compare.cpp)\n")
        w("Speeds in MB/s of inflated output, best of 3–5 runs in processor time, one core; the installer's window "
          "is 4 KiB for input and output. The installer inflates with ISA-L when the build finds it (INSTALLER_ISAL).\n")
        w("| stream | compressed | inflated | zlib 4K | ISA-L 4K | ratio | zlib 64K | ISA-L 64K | ratio |")
        w("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        for line in isal.splitlines():
            if line.startswith("RESULT\t"):
                _, label, c, o, z4, i4, z64, i64 = line.split("\t")
                z4, i4, z64, i64 = map(float, (z4, i4, z64, i64))
                w(f"| {label} | {c} | {o} | {z4:.0f} | {i4:.0f} | {i4 / z4 if z4 else 0:.2f} | {z64:.0f} | {i64:.0f} | {i64 / z64 if z64 else 0:.2f} |")
        w("")
        w("Behaviour checks (full output in `bench-out/isal.txt`):\n")
        w("```")
        for line in isal.splitlines():
            if not line.startswith("RESULT\t") and "speed (MB/s" not in line:
                w(line)
        w("```\n")

    prof = []
    shares = {}
    for p in ("system", "small"):
        for fs in ("tmpfs", "disk"):
            rows = perf_dso(os.path.join(out, f"perf-{p}-{fs}-dso.txt"))
            if rows:
                shares[(p, fs)] = dict((d, pct) for pct, d in rows)
    if shares:
        objs = []
        for v in shares.values():
            for d, pct in sorted(v.items(), key=lambda kv: -kv[1]):
                if pct >= 0.5 and d not in objs:
                    objs.append(d)
        prof.append("### Where the time goes: perf samples by object\n")
        prof.append("| profile, file system | " + " | ".join(objs) + " |")
        prof.append("|---|" + "---:|" * len(objs))
        for (p, fs), v in shares.items():
            prof.append(f"| {p}, {fs} | " + " | ".join(f"{v.get(d, 0):.1f} %" for d in objs) + " |")
        prof.append("")
    for p in ("system", "small"):
        total, rows = callgrind_top(os.path.join(out, f"callgrind-{p}-self.txt"))
        if rows:
            prof.append(f"### callgrind, profile {p}: instructions by function (self)\n")
            prof.append(f"Total {total:,} instructions.\n")
            prof.append("| Ir | % | function |\n|---:|---:|---|")
            for ir, pct, fn in rows:
                prof.append(f"| {ir:,} | {pct:.2f} | `{fn}` |")
            prof.append("")
        for fs in ("tmpfs", "disk"):
            rows = perf_top(os.path.join(out, f"perf-{p}-{fs}.txt"))
            if rows:
                prof.append(f"### perf (cpu-clock samples, user and kernel), profile {p}, {fs}\n")
                prof.append("| % | object | symbol |\n|---:|---|---|")
                for pct, dso, sym in rows:
                    prof.append(f"| {pct:.2f} | {dso} | `{sym}` |")
                prof.append("")
    if prof:
        w("## Profile of the installer\n")
        w("`perf stat -e instructions` is not supported on this virtual machine, so the "
          "instruction profile is callgrind's; perf's software clock samples add the kernel's "
          "share. Under valgrind libcrypto cannot use the CPU's SHA extensions, so callgrind "
          "overstates the digest's share: see BM_DigestFeed for its real speed.\n")
        md.extend(prof)

    text = "\n".join(md).rstrip() + "\n"
    if kept:
        text += "\n" + kept
    with open(args.results, "w") as f:
        f.write(text)
    print(f"wrote {args.results}")


if __name__ == "__main__":
    main()
