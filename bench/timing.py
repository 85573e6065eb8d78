#!/usr/bin/env python3
"""Times the installer, tar and dpkg side by side on one file system.

    timing.py --fs LABEL --dir DIR --pkgs PKGDIR --payload PAYLOADDIR
              --installer BIN [--profiles a,b] [--tools x,y] [--reps N]
              [--sync] --out RESULTS.jsonl

For each profile, each repetition runs every tool once, in an order that
rotates from one repetition to the next (A/B interleaving), each on a fresh
target directory made below DIR before the clock starts and removed after
it stops. The first, untimed round warms the page cache and checks that
every tool produced the payload tree byte for byte.

Wall time is taken around fork/exec/wait; CPU time (user + system) and peak
resident memory come from wait4(), which counts the process and the
children it waited for (tar's gzip, dpkg's dpkg-deb); the peak is the
largest single process, not a sum.

With --sync, sync(2) runs (untimed) before every timed run, so that no run
pays for the dirty pages of the one before it.

With --keep, the trees of a profile's runs stay until all its runs are done,
and are then removed, followed by a pause of --settle seconds. On ext4 an
inode freed less than 30 seconds ago is passed over when a new one is
allocated, after a look at its inode table block: a run right after the
removal of a 20,000-file tree pays for that removal on every file it creates.
"""

import argparse
import filecmp
import json
import os
import shutil
import subprocess
import sys
import time


def mkdirs(*paths):
    for p in paths:
        os.makedirs(p, exist_ok=True)


class Tool:
    name = ""

    def __init__(self, args, profile):
        self.args = args
        self.profile = profile

    def prepare(self, work):
        """Makes the fresh target below `work`; returns the command."""
        raise NotImplementedError

    def tree(self, work):
        """Where the payload's top directory landed."""
        raise NotImplementedError

    def check_output(self, log):
        return True


class Installer(Tool):
    name = "installer"

    binary_arg = "installer"

    def prepare(self, work):
        pckg = os.path.join(work, "flash/rw/pckg")
        mkdirs(os.path.join(work, "flash/var/pdb"), os.path.join(work, "ram"), pckg)
        # A hard link: the package file is on this file system already.
        src = os.path.join(self.args.pkgs, self.profile + ".qpk")
        os.link(src, os.path.join(pckg, self.profile + ".qpk"))
        return [getattr(self.args, self.binary_arg), "-r", work]

    def tree(self, work):
        return os.path.join(work, "flash")

    def check_output(self, log):
        return b"installed " in log


class InstallerB(Installer):
    """A second build of the installer (--installer-b), for A/B comparisons
    of a change."""

    name = "installer-b"
    binary_arg = "installer_b"


class Tar(Tool):
    name = "tar"

    def prepare(self, work):
        mkdirs(work)
        return ["tar", "-xzf", os.path.join(self.args.pkgs, self.profile + ".tar.gz"), "-C", work]

    def tree(self, work):
        return work


class TarSync(Tar):
    """tar followed by sync(1): what tar costs when its files must also be
    on the storage when it returns, as the installer's are."""

    name = "tar+sync"

    def prepare(self, work):
        cmd = super().prepare(work)
        return ["sh", "-c", '"$@" && sync', "sh"] + cmd


class Dpkg(Tool):
    name = "dpkg"
    extra = []

    def prepare(self, work):
        admin = os.path.join(work, "var/lib/dpkg")
        mkdirs(os.path.join(admin, "updates"), os.path.join(admin, "info"))
        for f in ("status", "available"):
            open(os.path.join(admin, f), "w").close()
        return [
            "dpkg",
            "--root=" + work,
            "--admindir=" + admin,
            "--force-not-root",
            "--force-script-chrootless",
            "--log=/dev/null",
            *self.extra,
            "--unpack",
            os.path.join(self.args.pkgs, self.profile + ".deb"),
        ]

    def tree(self, work):
        return work


class DpkgUnsafe(Dpkg):
    name = "dpkg-unsafe-io"
    extra = ["--force-unsafe-io"]


TOOLS = {t.name: t for t in (Installer, InstallerB, Tar, TarSync, Dpkg, DpkgUnsafe)}


def same_tree(payload, tree):
    """Every payload file is in `tree` with the same bytes and mode bits, and
    `tree` holds no other regular file below the payload's top directories."""
    want = set()
    for dirpath, _, files in os.walk(payload):
        for f in files:
            want.add(os.path.relpath(os.path.join(dirpath, f), payload))
    tops = {p.split("/")[0] for p in want}
    have = set()
    for top in tops:
        for dirpath, _, files in os.walk(os.path.join(tree, top)):
            for f in files:
                have.add(os.path.relpath(os.path.join(dirpath, f), tree))
    if want != have:
        return f"file sets differ: {len(want - have)} missing, {len(have - want)} extra"
    for rel in sorted(want):
        a, b = os.path.join(payload, rel), os.path.join(tree, rel)
        if (os.stat(a).st_mode & 0o777) != (os.stat(b).st_mode & 0o777):
            return f"mode differs: {rel}"
        if not filecmp.cmp(a, b, shallow=False):
            return f"content differs: {rel}"
    return None


def run_timed(cmd, log_path, env):
    # The peak memory comes from /usr/bin/time: a process forked from this
    # Python process would carry Python's own resident size into its
    # ru_maxrss (Linux keeps the high-water mark across exec), while one
    # forked from `time` starts from time's few hundred KiB. Wall and CPU
    # time come from wait4() on `time` (its own share is negligible).
    rss_path = log_path + ".rss"
    with open(log_path, "wb") as log:
        t0 = time.perf_counter()
        proc = subprocess.Popen(
            ["/usr/bin/time", "-f", "%M", "-o", rss_path, *cmd],
            stdin=subprocess.DEVNULL,
            stdout=log,
            stderr=subprocess.STDOUT,
            env=env,
        )
        _, status, ru = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    with open(rss_path) as f:
        lines = [l for l in f.read().split("\n") if l.strip()]
    return {
        "wall": wall,
        "user": ru.ru_utime,
        "sys": ru.ru_stime,
        "cpu": ru.ru_utime + ru.ru_stime,
        "maxrss_kib": int(lines[-1]),
        "rc": proc.returncode,
    }


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--fs", required=True)
    ap.add_argument("--dir", required=True)
    ap.add_argument("--pkgs", required=True)
    ap.add_argument("--payload", required=True)
    ap.add_argument("--installer", required=True)
    ap.add_argument("--installer-b", help="a second installer build, run as the tool installer-b")
    ap.add_argument("--profiles", default="system,small,large")
    ap.add_argument("--tools", default="installer,tar,dpkg")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--sync", action="store_true")
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--settle", type=float, default=35.0)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()

    env = dict(os.environ)
    for name in ("arch", "board", "bootimage"):  # the installer's defaults apply
        env.pop(name, None)
    logdir = os.path.join(args.dir, "logs")
    mkdirs(logdir)
    tools = args.tools.split(",")
    failed = False
    if args.keep:
        # Start clean, and past the window of anything removed just before.
        if os.path.isdir(args.dir):
            for entry in os.listdir(args.dir):
                if entry.startswith("run-"):
                    shutil.rmtree(os.path.join(args.dir, entry))
        os.sync()
        time.sleep(args.settle)
    with open(args.out, "a") as out:
        for profile in args.profiles.split(","):
            payload = os.path.join(args.payload, profile)
            for rep in range(-1, args.reps):
                order = tools[rep % len(tools):] + tools[: rep % len(tools)] if rep >= 0 else tools
                for name in order:
                    tool = TOOLS[name](args, profile)
                    work = os.path.join(args.dir, f"run-{name}" + (f"-{rep + 1}" if args.keep else ""))
                    if os.path.exists(work):
                        shutil.rmtree(work)
                    cmd = tool.prepare(work)
                    if args.sync:
                        os.sync()
                    log_path = os.path.join(logdir, f"{profile}-{name}.log")
                    r = run_timed(cmd, log_path, env)
                    with open(log_path, "rb") as f:
                        log = f.read()
                    problem = None
                    if r["rc"] != 0 or not tool.check_output(log):
                        problem = f"exit status {r['rc']}: {log[-400:].decode(errors='replace')}"
                    elif rep < 0:
                        problem = same_tree(payload, tool.tree(work))
                    if problem:
                        print(f"{args.fs} {profile} {name}: FAILED: {problem}", file=sys.stderr)
                        failed = True
                    r.update(fs=args.fs, profile=profile, tool=name, rep=rep, ok=problem is None)
                    if rep >= 0:
                        out.write(json.dumps(r) + "\n")
                        out.flush()
                    print(
                        f"{args.fs:6} {profile:7} {name:15} rep {rep:2}  wall {r['wall']:7.3f} s"
                        f"  cpu {r['cpu']:7.3f} s  rss {r['maxrss_kib'] / 1024:6.1f} MiB"
                        + ("" if rep >= 0 else "  (warm-up, tree checked)"),
                        flush=True,
                    )
                    if not args.keep:
                        shutil.rmtree(work)
            if args.keep:
                for entry in os.listdir(args.dir):
                    if entry.startswith("run-"):
                        shutil.rmtree(os.path.join(args.dir, entry))
                os.sync()
                print(f"{args.fs:6} {profile:7} trees removed, settling {args.settle:.0f} s", flush=True)
                time.sleep(args.settle)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
