#!/usr/bin/env python3
# Re-signing after a few changes: sign_folder --update against a full signing, on many small files and on a few large ones.
"""Usage: python bench/bench_update.py [--files 1000000] [--changed 1000] [--large-gib 1]
                                    [--large-count 8] [--large-changed 1] [--tmp DIR]
                                    [--python PYTHON] [--skip-small] [--skip-large] [--keep DIR]

For each tree (--files small files of 1 to 16 KiB in folders of 1000; --large-count files of
--large-gib GiB each) it waits out the two seconds within which a file counts as changed with a
signing, signs once with --update --keep-cache (a full signing that keeps the files' metadata and
leaves the tree in the page cache), rewrites --changed (--large-changed) files with other bytes of the same
size, and then runs, as whole processes:

  * PYTHON -m mavelin.cli sign_folder -p TREE -o OTHER      (a full signing, elsewhere)
  * PYTHON -m mavelin.cli sign_folder -p TREE --update      (reads only the changed files)

(--keep DIR: the trees are made in DIR/small and DIR/large, kept, and taken as they are when
they exist; the changed files are rewritten in each run) printing wall time, peak RSS and peak RSS per file of each, and the speed-up, and checking that
both certificates hold the same payload. Needs: the package installed in PYTHON (default: this
interpreter). The targets on an idle machine: 1,000,000 files with 1,000 changed, at least 10x;
8 x 1 GiB with one changed, at least 5x.
"""
import argparse
import os
import random
import shutil
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_scale import make_big_tree, make_tree, run_measured  # noqa: E402

RACY_SECONDS = 2.1


def payload(certificate):
    with zipfile.ZipFile(certificate) as z:
        return z.read("Certificate.pk")


def rewrite(paths, rng):
    """Other bytes of the same size in each file of `paths`."""
    for p in paths:
        size = os.path.getsize(p)
        with open(p, "r+b") as f:
            left = size
            while left > 0:
                n = min(left, 1 << 24)
                f.write(rng.randbytes(n))
                left -= n


def measure(args, label, top, count, changed_paths):
    rng = random.Random(7)
    cli = [args.python, "-m", "mavelin.cli", "sign_folder", "-p", top, "-m", "silent"]
    kept = os.path.join(top, "Certificates", "Certificate.korvex")
    if os.path.exists(kept):  # a kept tree's certificate: the first signing must read every file
        os.remove(kept)
    time.sleep(RACY_SECONDS)  # the files just written would count as changed with the signing
    run_measured(cli + ["--update", "--keep-cache"])  # full, keeps the metadata; warms the cache
    rewrite(changed_paths, rng)
    other = os.path.join(args.tmp_root, f"{label}-full.korvex")
    full_t, full_rss = run_measured(cli + ["-o", other])
    upd_t, upd_rss = run_measured(cli + ["--update"])
    same = payload(other) == payload(os.path.join(top, "Certificates", "Certificate.korvex"))
    print(f"{label}: {count} files, {len(changed_paths)} changed")
    for name, t, rss in (("full signing", full_t, full_rss), ("--update", upd_t, upd_rss)):
        print(f"  {name:13s} {t:8.2f} s  peak RSS {rss / 2**20:7.1f} MiB"
              f"  {rss / count:8.0f} B/file")
    print(f"  speed-up {full_t / upd_t:.1f}x; same payload: {same}")
    return same


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=1_000_000)
    parser.add_argument("--changed", type=int, default=1000)
    parser.add_argument("--large-gib", type=float, default=1.0)
    parser.add_argument("--large-count", type=int, default=8)
    parser.add_argument("--large-changed", type=int, default=1)
    parser.add_argument("--tmp", default=None)
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--skip-small", action="store_true")
    parser.add_argument("--skip-large", action="store_true")
    parser.add_argument("--keep", default=None)
    args = parser.parse_args()
    ok = True
    with tempfile.TemporaryDirectory(dir=args.tmp, prefix="bench-update-") as root:
        args.tmp_root = root
        trees = args.keep or root
        if not args.skip_small:
            top = os.path.join(trees, "small")
            if not os.path.isdir(top):
                os.mkdir(top)
                make_tree(top, args.files, 1024, 16384)
            files = [os.path.join(dp, n) for dp, _, ns in os.walk(top)
                     if os.path.basename(dp) != "Certificates" for n in ns]
            changed = random.Random(1).sample(files, min(args.changed, len(files)))
            ok &= measure(args, "small files", top, len(files), changed)
            if not args.keep:
                shutil.rmtree(top)
        if not args.skip_large:
            top = os.path.join(trees, "large")
            if not os.path.isdir(top):
                os.mkdir(top)
                make_big_tree(top, args.large_count, int(args.large_gib * 2**30))
            files = sorted(os.path.join(top, n) for n in os.listdir(top) if n != "Certificates")
            ok &= measure(args, f"{args.large_count} x {args.large_gib:g} GiB", top, len(files),
                          files[:args.large_changed])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
