#!/usr/bin/env python3
"""How the installer's cost grows with the files of a package and with the
packages in its database.

    scale.py --installer BIN --qpk BIN --key KEYFILE --cache DIR --dir DIR
             --out DIR [--reps N] [--show-runs N] [--files N,N,N]
             [--packages N,N,N]

Series, each at three sizes (the defaults):
  files      one package of 1,000, 10,000 or 100,000 files of 1 KiB (text
             cut from gen_payload.py's pools, 100 files to a directory, two
             levels deep), installed by a normal pass onto a fresh root
  install    a normal pass over 30, 300 or 3,000 tiny package files (one file
             each; every third needs pkg0000, every tenth provides a
             feature) onto an empty database: resolution and installation
             over as many candidates. This pass makes the database of the
             next three series, so it runs once per size.
  show       `installer --show` over that database
  add-one    a normal pass over that database with one new package placed
  again      a normal pass over that database with the same package files
             placed again: all of them are installed at that version, so the
             pass resolves as many candidates and installs nothing

Every timed run gets a root of its own below DIR (meant to be a tmpfs),
made before the clock starts and removed after it stops; the runs over a
database start from a `cp -a` of it. The installer leaves the package files
of a pass in flash/rw/pckg/; they are taken out of the database's root once
it is made, so that each run places only its own. Times are medians of
--reps runs (default 3; --show-runs, default 20, for --show); the peak
resident set is the largest of them. Runs are timed as timing.py does
(wall time around fork/exec/wait, user + system time from wait4(), the
peak from /usr/bin/time), but for --show: its runs are short enough for
time's own start to count, so they go without it and without a peak. The
first, untimed run of each case checks the exit status, what the installer
printed and what it left.

The cost per item is the median wall time divided by the size (files, or
packages in the database). A series grows linearly when its cost per item
exceeds neither LINEAR_LIMIT times the cost at the smallest size nor
LINEAR_LIMIT times the cost at the size before. The fixed cost of a run
(start-up, loading the database, the syncs) weighs most on the smallest
size, so the table also gives the cost of each item added from one size to
the next.

Packages are built once and kept in CACHE, with a stamp of this script,
gen_payload.py, qpk and the key; they are remade when one of those changes.

Writes OUT/scale.jsonl (every timed run, each point's summary and the
verdicts, one JSON object a line) and OUT/scale.md (the body of the section
"Growth curve" of RESULTS.md).
"""

import argparse
import hashlib
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import time

from gen_payload import Pools
from timing import run_timed

LINEAR_LIMIT = 1.3
SHOW_LIMIT_MS = 100.0
VERSION = "7.16"
EPOCH = 1700000000
FILE_SIZE = 1024
PER_DIRECTORY = 100
TINY_SIZE = 512
NEW_PACKAGE = "pkg9999"
TINY_PATTERN = r"pkg\d{4}"  # the names of the database's packages

SERIES = {
    "files": "install one package of N files",
    "install": "install N packages onto an empty database",
    "show": "--show over N packages",
    "add-one": "install 1 new package over N installed",
    "again": "N installed packages placed again",
}
UNITS = {"files": "file", "install": "package", "show": "package", "add-one": "package",
         "again": "package"}


def sizes(text):
    return [int(s) for s in text.split(",")]


def tiny_name(i):
    return f"pkg{i:04d}"


def file_path(i):
    directory = i // PER_DIRECTORY
    return f"files/d{directory // 100:02d}/d{directory % 100:02d}/f{i:06d}"


# ---------------------------------------------------------------- packages

class Cache:
    """Package files in a directory that holds only what one stamp made."""

    def __init__(self, path, inputs):
        self.path = path
        digest = hashlib.sha1()
        for name in inputs:
            with open(name, "rb") as f:
                digest.update(f.read())
        stamp = digest.hexdigest()[:16]
        stamp_path = os.path.join(path, "stamp")
        try:
            with open(stamp_path) as f:
                current = f.read().strip() == stamp
        except OSError:
            current = False
        if not current:
            shutil.rmtree(path, ignore_errors=True)
            os.makedirs(path)
            with open(stamp_path, "w") as f:
                f.write(stamp + "\n")

    def file(self, name):
        return os.path.join(self.path, name)


class Builder:
    """Writes package trees below `scratch` and packs them with qpk."""

    def __init__(self, args, scratch):
        self.args = args
        self.scratch = scratch
        self.pools = None

    def text(self, rng, n):
        if self.pools is None:  # a few seconds: only when something is built
            self.pools = Pools(random.Random(0x5CA1E))
        return self.pools.content("text", rng, n)

    def pack(self, target, name, files, options=()):
        """Builds `target` from (relative path, bytes) pairs, unless it exists."""
        if os.path.exists(target):
            return
        tree = os.path.join(self.scratch, name)
        shutil.rmtree(tree, ignore_errors=True)
        for rel, data in files:
            path = os.path.join(tree, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        partial = target + ".part"
        subprocess.run(
            [self.args.qpk, "build", "-o", partial, "--name", name, "--version", VERSION,
             "--build-time", str(EPOCH), "--arch", "i386", "--key", self.args.key,
             *options, tree],
            check=True, stdout=subprocess.DEVNULL)
        os.replace(partial, target)
        shutil.rmtree(tree)

    def many_files(self, target, n):
        rng = random.Random(n)
        files = ((file_path(i), self.text(rng, FILE_SIZE)) for i in range(n))
        self.pack(target, f"files{n}", files)

    def tiny(self, target, name, seed, options):
        data = self.text(random.Random(seed), TINY_SIZE)
        self.pack(target, name, [(f"share/{name}/readme", data)], options)


def tiny_options(i):
    """Every third package needs pkg0000, every tenth provides a feature."""
    options = []
    if i % 3 == 1:
        options += ["--depends", "pkg0000::"]
    if i % 10 == 0:
        options += ["--provides", f"feature{i}:::1"]
    return options


def make_packages(args, here, scratch):
    """Builds what is missing from the cache and copies it below `scratch`;
    returns {"files": {n: path}, "tiny": [path, ...], "new": path}."""
    inputs = [os.path.join(here, "scale.py"), os.path.join(here, "gen_payload.py"), args.qpk,
              args.key]
    cache = Cache(args.cache, inputs)
    builder = Builder(args, os.path.join(scratch, "trees"))
    placed = os.path.join(scratch, "pkgs")
    os.makedirs(placed)
    t0 = time.perf_counter()

    def copy(name):
        target = os.path.join(placed, name)
        shutil.copyfile(cache.file(name), target)
        return target

    result = {"files": {}, "tiny": []}
    for n in args.files:
        builder.many_files(cache.file(f"files{n}.qpk"), n)
        result["files"][n] = copy(f"files{n}.qpk")
    for i in range(max(args.packages)):
        name = tiny_name(i)
        builder.tiny(cache.file(name + ".qpk"), name, i, tiny_options(i))
        result["tiny"].append(copy(name + ".qpk"))
    builder.tiny(cache.file(NEW_PACKAGE + ".qpk"), NEW_PACKAGE, 9999, tiny_options(1))
    result["new"] = copy(NEW_PACKAGE + ".qpk")
    print(f"packages ready in {time.perf_counter() - t0:.1f} s ({args.cache})", flush=True)
    return result


# ---------------------------------------------------------------- runs

def make_root(root, packages=()):
    for d in ("flash/var/pdb", "ram", "flash/rw/pckg"):
        os.makedirs(os.path.join(root, d))
    place(root, packages)


def place(root, packages):
    """Hard links: the package files are on the same file system."""
    for p in packages:
        os.link(p, os.path.join(root, "flash/rw/pckg", os.path.basename(p)))


def copy_root(base, root):
    subprocess.run(["cp", "-a", base, root], check=True)


def run_direct(cmd, log_path, env):
    """Wall and CPU time of `cmd` without /usr/bin/time in between: for the
    runs of --show, short enough for time's own start to count."""
    with open(log_path, "wb") as log:
        t0 = time.perf_counter()
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log,
                                stderr=subprocess.STDOUT, env=env)
        _, status, ru = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    return {"wall": wall, "user": ru.ru_utime, "sys": ru.ru_stime,
            "cpu": ru.ru_utime + ru.ru_stime, "maxrss_kib": None, "rc": proc.returncode}


def output_lines(log_path):
    """What the installer printed, one message a line (the progress bar's
    carriage returns and terminal controls split and dropped)."""
    with open(log_path, "rb") as f:
        text = f.read().decode(errors="replace")
    text = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", text)
    return [line.strip() for line in re.split(r"[\r\n]", text) if line.strip()]


def count(lines, pattern):
    return sum(1 for line in lines if re.fullmatch(pattern, line))


def installed(name_pattern):
    """The line of a package installed by the pass, `name_pattern` a regular
    expression."""
    return rf"installed {name_pattern}-{re.escape(VERSION)}"


def records(root):
    return len(os.listdir(os.path.join(root, "flash/var/pdb")))


def tree_state(root):
    """Every file and directory below flash/ but the post-install log, with
    its size and modification time."""
    state = {}
    flash = os.path.join(root, "flash")
    for dirpath, dirnames, filenames in os.walk(flash):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, flash)
            if rel != "postlog":
                st = os.lstat(path)
                state[rel] = (st.st_size, st.st_mtime_ns)
    return state


class Bench:
    def __init__(self, args, scratch):
        self.args = args
        self.scratch = scratch
        self.root = os.path.join(scratch, "run")
        self.log = os.path.join(scratch, "run.log")
        self.env = dict(os.environ)
        for name in ("arch", "board", "bootimage"):  # the installer's defaults apply
            self.env.pop(name, None)
        self.runs = {}  # (series, size) -> [timed run]
        self.again = []  # what the first run of "again" printed, per size
        self.out = open(os.path.join(args.out, "scale.jsonl"), "w")

    def write(self, record):
        self.out.write(json.dumps(record) + "\n")
        self.out.flush()

    def fail(self, series, n, problem):
        tail = "\n".join(output_lines(self.log)[-10:])
        sys.exit(f"{series} {n}: FAILED: {problem}\n{tail}")

    def run(self, series, n, command, timer=run_timed):
        r = timer(command, self.log, self.env)
        if r["rc"] != 0:
            self.fail(series, n, f"exit status {r['rc']}")
        return r

    def record(self, series, n, rep, r):
        r = dict(r, kind="run", series=series, size=n, rep=rep)
        self.write(r)
        self.runs.setdefault((series, n), []).append(r)
        rss = "" if r["maxrss_kib"] is None else f"  rss {r['maxrss_kib'] / 1024:6.1f} MiB"
        print(f"{series:8} {n:7}  rep {rep:2}  wall {r['wall'] * 1000:9.1f} ms"
              f"  cpu {r['cpu'] * 1000:9.1f} ms{rss}", flush=True)

    def measure(self, series, n, runs, prepare, check, show=False):
        """One untimed run that `check` looks at, then `runs` timed ones;
        each on the fresh root that `prepare` makes."""
        command = [self.args.installer, "-r", self.root] + (["--show"] if show else [])
        for rep in range(-1, runs):
            shutil.rmtree(self.root, ignore_errors=True)
            prepare()
            r = self.run(series, n, command, run_direct if show else run_timed)
            if rep < 0:
                check(output_lines(self.log))
            else:
                self.record(series, n, rep, r)
        shutil.rmtree(self.root)

    # ------------------------------------------------------------ files

    def files(self, packages):
        for n in self.args.files:
            package = packages["files"][n]

            def check(lines):
                if count(lines, installed(f"files{n}")) != 1:
                    self.fail("files", n, "no line \"installed\"")
                found = []
                for dirpath, _, names in os.walk(os.path.join(self.root, "flash/files")):
                    found += [os.path.getsize(os.path.join(dirpath, f)) for f in names]
                if len(found) != n or set(found) != {FILE_SIZE}:
                    self.fail("files", n, f"{len(found)} files installed")

            self.measure("files", n, self.args.reps, lambda: make_root(self.root, [package]),
                         check)

    # ------------------------------------------------------------ database

    def database(self, packages):
        for n in self.args.packages:
            tiny = packages["tiny"][:n]
            base = os.path.join(self.scratch, f"db{n}")
            self.make_database(base, tiny)
            self.show(base, n)
            self.add_one(base, n, packages["new"])
            self.place_again(base, tiny)
            shutil.rmtree(base)

    def make_database(self, base, tiny):
        n = len(tiny)
        make_root(base, tiny)
        r = self.run("install", n, [self.args.installer, "-r", base])
        done = count(output_lines(self.log), installed(TINY_PATTERN))
        if records(base) != n or done != n:
            self.fail("install", n, f"{done} installed, {records(base)} records")
        self.record("install", n, 0, r)
        for p in tiny:
            os.unlink(os.path.join(base, "flash/rw/pckg", os.path.basename(p)))

    def show(self, base, n):
        def check(lines):
            listed = count(lines, rf"{TINY_PATTERN}\s+{re.escape(VERSION)}\s.*")
            if listed != n:
                self.fail("show", n, f"{listed} packages listed")

        self.measure("show", n, self.args.show_runs, lambda: copy_root(base, self.root), check,
                     show=True)

    def add_one(self, base, n, new):
        def prepare():
            copy_root(base, self.root)
            place(self.root, [new])

        def check(lines):
            if count(lines, installed(NEW_PACKAGE)) != 1 or records(self.root) != n + 1:
                self.fail("add-one", n, f"{records(self.root)} records")

        self.measure("add-one", n, self.args.reps, prepare, check)

    def place_again(self, base, tiny):
        n = len(tiny)
        before = {}

        def prepare():
            copy_root(base, self.root)
            place(self.root, tiny)
            if not before:
                before.update(tree_state(self.root))

        def check(lines):
            warning = (rf"WARNING: omitting package {TINY_PATTERN}-{re.escape(VERSION)}: "
                       r"it is already installed")
            omitted = count(lines, warning)
            claimed = count(lines, installed(TINY_PATTERN))
            changed = sorted(set(before.items()) ^ set(tree_state(self.root).items()))
            if omitted != n or changed:
                self.fail("again", n, f"{omitted} packages omitted; changed: {changed[:5]}")
            self.again.append({"kind": "again", "size": n, "omitted": omitted,
                               "installed_lines": claimed,
                               "other_lines": len(lines) - omitted - claimed})
            self.write(self.again[-1])

        self.measure("again", n, self.args.reps, prepare, check)


# ---------------------------------------------------------------- summary

def summarize(bench):
    """Per series, [(size, summary)] in order of size."""
    table = {}
    for (series, n), rs in bench.runs.items():
        rss = [r["maxrss_kib"] for r in rs if r["maxrss_kib"] is not None]
        table.setdefault(series, []).append((n, {
            "runs": len(rs),
            "wall": statistics.median(r["wall"] for r in rs),
            "cpu": statistics.median(r["cpu"] for r in rs),
            "user": statistics.median(r["user"] for r in rs),
            "sys": statistics.median(r["sys"] for r in rs),
            "maxrss_kib": max(rss) if rss else None,
        }))
    for series, points in table.items():
        points.sort()
        first_n, first = points[0]
        first_cost = first["wall"] / first_n
        previous = None
        for n, s in points:
            s["per_item_us"] = s["wall"] / n * 1e6
            s["ratio"] = s["wall"] / n / first_cost
            if previous:
                pn, ps = previous
                s["step"] = s["per_item_us"] / ps["per_item_us"]
                s["added_per_item_us"] = (s["wall"] - ps["wall"]) / (n - pn) * 1e6
            previous = (n, s)
    return table


def verdicts(table):
    result = []
    for series in SERIES:
        points = table.get(series)
        if not points or len(points) < 2:
            continue
        ratio = max(s["ratio"] for _, s in points)
        step = max(s["step"] for _, s in points[1:])
        result.append({"kind": "verdict", "series": series,
                       "goal": f"{series}: cost per {UNITS[series]} linear (within "
                               f"{LINEAR_LIMIT}× of the smallest size's and the size before's)",
                       "measured": f"×{ratio:.2f} vs smallest, ×{step:.2f} largest step",
                       "ok": max(ratio, step) <= LINEAR_LIMIT})
    show = dict(table.get("show", []))
    if show:
        n = 3000 if 3000 in show else max(show)
        ms = show[n]["wall"] * 1000
        result.append({"kind": "verdict", "series": "show",
                       "goal": f"--show on {n:,} packages < {SHOW_LIMIT_MS:.0f} ms",
                       "measured": f"{ms:.1f} ms", "ok": ms < SHOW_LIMIT_MS})
    return result


def markdown(table, again, found, args):
    md = []
    w = md.append
    w(f"`bench/scale.py`, on a tmpfs: every run on a fresh root, those over a database on a "
      f"`cp -a` of it. Medians of {args.reps} timed runs ({args.show_runs} of `--show`), after "
      f"an untimed run that is checked; `install` makes the database and runs once per size. "
      f"The files are 1 KiB of text each, 100 to a directory, two levels deep. The database's "
      f"packages hold one file of {TINY_SIZE} B; every third needs pkg0000, every tenth "
      f"provides a feature. CPU is the installer's user + system time; the peak RSS is the "
      f"largest of the runs.\n")
    w("µs per item is the median wall time over the size (files, or packages in the "
      "database); \"vs smallest\" and \"vs size before\" divide it by the same at the "
      "smallest size and at the size before. A series is linear when neither exceeds "
      f"{LINEAR_LIMIT}. The fixed cost of a run (start-up, the database's loading, the syncs) "
      "weighs most on the smallest size: µs per added item, the wall time that the step from "
      "the size before added over the items it added, shows the growth without it.\n")
    w("| series | size | runs | wall (ms) | CPU (ms) | user / sys (ms) | peak RSS (MiB) | "
      "µs per item | vs smallest | vs size before | µs per added item |")
    w("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for series, title in SERIES.items():
        for n, s in table.get(series, []):
            rss = "–" if s["maxrss_kib"] is None else f"{s['maxrss_kib'] / 1024:.1f}"
            step = f"{s['step']:.2f}" if "step" in s else "–"
            added = f"{s['added_per_item_us']:.1f}" if "added_per_item_us" in s else "–"
            w(f"| {series}: {title} | {n:,} | {s['runs']} | {s['wall'] * 1000:.1f} | "
              f"{s['cpu'] * 1000:.1f} | {s['user'] * 1000:.1f} / {s['sys'] * 1000:.1f} | "
              f"{rss} | {s['per_item_us']:.1f} | {s['ratio']:.2f} | {step} | {added} |")
    w("")
    if again:
        counts = "; ".join(f"{a['size']:,} files: {a['omitted']:,} warnings, "
                           f"{a['installed_lines']:,} \"installed\" lines, "
                           f"{a['other_lines']:,} other" for a in again)
        w("`again`: the pass ends with status 0 and changes nothing below /flash but its "
          "post-install log. For each package file it warns \"omitting package "
          f"pkgNNNN-{VERSION}: it is already installed\", and at the end it prints "
          f"\"installed pkgNNNN-{VERSION}\" for each all the same ({counts}).\n")
    w("| goal | measured | verdict |\n|---|---|---|")
    for v in found:
        w(f"| {v['goal']} | {v['measured']} | {'**met**' if v['ok'] else '**NOT met**'} |")
    return "\n".join(md) + "\n"


def main():
    ap = argparse.ArgumentParser(description="How the installer's cost grows.")
    ap.add_argument("--installer", required=True)
    ap.add_argument("--qpk", required=True)
    ap.add_argument("--key", required=True, help="signing key file for qpk build")
    ap.add_argument("--cache", required=True, help="where built packages are kept between runs")
    ap.add_argument("--dir", required=True, help="scratch directory on a tmpfs, removed at the end")
    ap.add_argument("--out", required=True, help="where scale.jsonl and scale.md go")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--show-runs", type=int, default=20)
    ap.add_argument("--files", type=sizes, default=[1000, 10000, 100000])
    ap.add_argument("--packages", type=sizes, default=[30, 300, 3000])
    args = ap.parse_args()
    if max(args.packages) > 9999:
        sys.exit("at most 9,999 packages: pkg9999 is the new one")

    here = os.path.dirname(os.path.abspath(__file__))
    os.makedirs(args.out, exist_ok=True)
    shutil.rmtree(args.dir, ignore_errors=True)
    os.makedirs(args.dir)
    try:
        packages = make_packages(args, here, args.dir)
        bench = Bench(args, args.dir)
        bench.files(packages)
        bench.database(packages)
        table = summarize(bench)
        for series, points in table.items():
            for n, s in points:
                bench.write(dict(s, kind="point", series=series, size=n))
        found = verdicts(table)
        for v in found:
            bench.write(v)
        bench.out.close()
        text = markdown(table, bench.again, found, args)
        with open(os.path.join(args.out, "scale.md"), "w") as f:
            f.write(text)
        print(text)
    finally:
        shutil.rmtree(args.dir, ignore_errors=True)


if __name__ == "__main__":
    main()
