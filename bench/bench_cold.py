#!/usr/bin/env python3
# Whole-process signing and validation of trees that are not in the page cache, side by side with dd, b3sum and cat.
"""Usage: python bench/bench_cold.py [--small DIR] [--big DIR] [--rounds 5] [--python PYTHON]
                                  [--baseline-path DIR] [--modes default,--direct] [--tmp DIR]
                                  [--warm]

Needs root: before every run it writes back and drops the page cache
(`sync; echo 3 > /proc/sys/vm/drop_caches`). Two trees, generated under --tmp unless given:

  * small: 100,000 files of 1 to 16 KiB in folders of 1000 (bench_scale.make_tree)
  * big: 8 files of 256 MiB

For each tree, --rounds rounds in which every command runs once, cold, the order rotated from
round to round so that a machine whose load drifts slows every command alike:

  * PYTHON -m mavelin.cli sign_folder -p TREE [MODE]          (for each of --modes)
  * PYTHON -m mavelin.cli validate_certificate -p TREE [MODE]
  * find TREE -type f -print0 | xargs -0 -P2 b3sum             (if installed)
  * find TREE -type f -print0 | xargs -0 -P16 cat              (small tree)
  * dd if=F of=/dev/null iflag=direct bs=4M, for every file F in turn   (big tree)

and prints the median wall time, the largest peak RSS (getrusage of the child and its children)
and the ratios the issue asks for: against dd as a rate (dd time / mavelin time), against b3sum
(b3sum time / mavelin time), against cat (mavelin time / cat time). With --baseline-path DIR the
mavelin commands run once more with PYTHONPATH=DIR (another build of the package installed there
with pip --target), for a before/after in the same rounds. With --warm the tree is read into the
page cache before every run instead (the same rounds and ratios for a warm cache).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_scale  # noqa: E402

BIG_FILES = 8
BIG_SIZE = 256 << 20


def drop_caches():
    subprocess.run("sync", check=True)
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def make_big(top):
    os.makedirs(top)
    block = os.urandom(1 << 20)
    for i in range(BIG_FILES):
        with open(os.path.join(top, f"f{i}.bin"), "wb") as f:
            for _ in range(BIG_SIZE >> 20):
                f.write(block)


def commands(kind, top, py, modes, baseline):
    q = bench_scale.shlex.quote(top)
    cmds = {}
    builds = [("", None)] + ([("old ", baseline)] if baseline else [])
    for label, path in builds:
        env = dict(os.environ, PYTHONPATH=path) if path else None
        for mode in modes:
            extra = [] if mode == "default" else [mode]
            name = f"{label}sign {mode}"
            cmds[name] = dict(argv=[py, "-m", "mavelin.cli", "sign_folder", "-p", top] + extra,
                              env=env)
            name = f"{label}validate {mode}"
            cmds[name] = dict(argv=[py, "-m", "mavelin.cli", "validate_certificate", "-p", top]
                              + extra, env=env)
    if shutil.which("b3sum"):
        cmds["b3sum -P2"] = dict(argv=f"find {q} -type f -print0 | xargs -0 -P2 b3sum", shell=True)
    if kind == "small":
        cmds["cat -P16"] = dict(argv=f"find {q} -type f -print0 | xargs -0 -P16 cat", shell=True)
    else:
        cmds["dd direct 4M"] = dict(
            argv=f"for f in {q}/*.bin; do dd if=$f of=/dev/null iflag=direct bs=4M status=none; done",
            shell=True)
    return cmds


def run(argv, shell=False, env=None, top=None):
    """Wall seconds and peak RSS of one cold run (warm: the tree `top` read before it)."""
    if top:
        bench_scale.warm(top)
    else:
        drop_caches()
    start = bench_scale.time.perf_counter()
    proc = subprocess.Popen(argv, shell=shell, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = bench_scale.time.perf_counter() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        raise RuntimeError(f"{argv!r} failed with {code}: {err[-2000:]}")
    return elapsed, usage.ru_maxrss * 1024


def measure(kind, top, args):
    cmds = commands(kind, top, args.python, args.modes, args.baseline_path)
    # A certificate to validate against, made once before the rounds.
    subprocess.run([args.python, "-m", "mavelin.cli", "sign_folder", "-p", top], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    names = list(cmds)
    times = {n: [] for n in names}
    peaks = {n: [] for n in names}
    for r in range(args.rounds):
        order = names[r % len(names):] + names[:r % len(names)]
        for n in order:
            c = cmds[n]
            t, rss = run(c["argv"], c.get("shell", False), c.get("env"), top if args.warm else None)
            times[n].append(t)
            peaks[n].append(rss)
    med = {n: statistics.median(times[n]) for n in names}
    state = "warm" if args.warm else "cold"
    print(f"\n{kind} tree {top}: {args.rounds} {state} rounds, median wall s (min-max), peak RSS")
    for n in names:
        print(f"  {n:24} {med[n]:7.3f} ({min(times[n]):.3f}-{max(times[n]):.3f})"
              f"  {max(peaks[n]) / 2**20:7.1f} MiB")
    for n in names:
        if not (n.startswith("sign") or n.startswith("validate") or n.startswith("old ")):
            continue
        parts = []
        if "b3sum -P2" in med:
            parts.append(f"{med['b3sum -P2'] / med[n]:.2f}x b3sum -P2")
        if "cat -P16" in med:
            parts.append(f"{med[n] / med['cat -P16']:.2f}x the time of cat -P16")
        if "dd direct 4M" in med:
            parts.append(f"{100 * med['dd direct 4M'] / med[n]:.0f}% of dd's rate")
        print(f"  {n:24} " + ", ".join(parts))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--small", help="tree of small files (generated when not given)")
    ap.add_argument("--big", help="tree of large files (generated when not given)")
    ap.add_argument("--only", choices=["small", "big"], help="measure one tree only")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--python", default=sys.executable)
    ap.add_argument("--baseline-path", help="PYTHONPATH of another build, run side by side")
    ap.add_argument("--modes", default="default", help="comma-separated: default, --direct, --keep-cache")
    ap.add_argument("--tmp", default=None)
    ap.add_argument("--warm", action="store_true", help="page cache warm instead of dropped")
    args = ap.parse_args()
    args.modes = args.modes.split(",")
    if os.geteuid() != 0 and not args.warm:
        sys.exit("dropping the page cache needs root")
    tmp = None
    try:
        for kind in ("small", "big"):
            if args.only and args.only != kind:
                continue
            top = getattr(args, kind)
            if top is None:
                tmp = tmp or tempfile.mkdtemp(prefix="mavelin-cold-", dir=args.tmp)
                top = os.path.join(tmp, kind)
                if kind == "small":
                    os.makedirs(top)
                    bench_scale.make_tree(top, 100000, 1024, 16384)
                else:
                    make_big(top)
            measure(kind, top, args)
    finally:
        if tmp:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
