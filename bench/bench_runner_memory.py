#!/usr/bin/env python3
# Peak memory of a fingerprint pass against its thread count, on many files of several ranges each.
"""Usage: python bench/bench_runner_memory.py [--threads 2 16 64 256] [--files 0] [--size-mib 8]

Makes --files sparse files of --size-mib each (0 files: as many as threads, so that every worker
splits a file of its own at once) under /tmp, then, for each thread count, runs one pass over them
in a fresh interpreter and prints the peak resident set (getrusage) of that interpreter, the same
interpreter's peak before the pass, and their difference per thread.
"""
import argparse
import os
import subprocess
import sys
import tempfile

CHILD = r"""
import resource, sys
import mavelin.core.file_managing as fm
from mavelin.core.file_managing import FileManager
fm.MAX_PROCESSES = int(sys.argv[2])
m = FileManager(sys.argv[1], int(sys.argv[3]), 4)
m._parse_directory()
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
m._generate_fingerprints()
assert not m._fingerprint_errors, m._fingerprint_errors
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(before, after)
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--threads", type=int, nargs="+", default=[2, 16, 64, 256])
    ap.add_argument("--files", type=int, default=0)
    ap.add_argument("--size-mib", type=int, default=8)
    ap.add_argument("--chunk", type=int, default=2048)
    args = ap.parse_args()
    print(f"{'threads':>8} {'files':>6} {'before MiB':>11} {'peak MiB':>9} {'growth MiB':>11} {'KiB/thread':>11}")
    for threads in args.threads:
        files = args.files or threads
        with tempfile.TemporaryDirectory() as top:
            for i in range(files):
                with open(os.path.join(top, f"f{i}.bin"), "wb") as f:
                    f.truncate(args.size_mib << 20)
            out = subprocess.run([sys.executable, "-c", CHILD, top, str(threads), str(args.chunk)],
                                 check=True, capture_output=True, text=True).stdout.split()
        before, after = int(out[0]), int(out[1])
        growth = after - before
        print(f"{threads:>8} {files:>6} {before / 1024:>11.1f} {after / 1024:>9.1f} "
              f"{growth / 1024:>11.1f} {growth / threads:>11.0f}")


if __name__ == "__main__":
    main()
