#!/usr/bin/env python3
# Fingerprint throughput of one large file: FileNodeHandler against a hashlib loop doing the same work.
"""Usage: python bench/bench_fingerprint.py [--size-mib 1024] [--chunk 2048] [--step 4] [--repeat 3]

Writes a file of random bytes under /tmp (removed afterwards), reads it once to have it in the
page cache, then times the whole per-file fingerprint (open, chunk hash list, row reduction) with
mavelin's FileNodeHandler and with a plain Python loop over hashlib, and prints MB/s of both and
their ratio. The best of --repeat runs counts for each.
"""
import argparse
import math
import os
import tempfile
import time

from mavelin.core.models import FileNode
from mavelin.core.node_handling import FileNodeHandler

from bench_trees import python_fingerprint, warm_file


def make_file(directory, size):
    path = os.path.join(directory, "big.bin")
    with open(path, "wb") as f:
        written = 0
        while written < size:
            n = min(1 << 20, size - written)
            f.write(os.urandom(n))
            written += n
    return path


def mavelin_fingerprint(path, chunk, step):
    node = FileNode(1, os.path.basename(path))
    handler = FileNodeHandler(node, chunk, step)
    handler._open_file(os.path.dirname(path))
    handler._generate_hash_list()
    handler._generate_hash_fingerprint()
    return node.get_fingerprint()


def best_time(fn, repeat):
    best, result = math.inf, None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--chunk", type=int, default=2048)
    parser.add_argument("--step", type=int, default=4)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    size = args.size_mib << 20
    with tempfile.TemporaryDirectory(prefix="mavelin-bench-", dir="/tmp") as directory:
        print(f"writing {args.size_mib} MiB of random data ...", flush=True)
        path = make_file(directory, size)
        warm_file(path)
        ours_s, ours = best_time(lambda: mavelin_fingerprint(path, args.chunk, args.step), args.repeat)
        ref_s, ref = best_time(lambda: python_fingerprint(path, args.chunk, args.step), args.repeat)
    if ours != ref:
        raise SystemExit("fingerprints differ: the benchmark result is void")
    mb = size / 1e6
    print(f"file {args.size_mib} MiB, chunk {args.chunk}, step {args.step}, best of {args.repeat}")
    print(f"  mavelin FileNodeHandler : {mb / ours_s:9.1f} MB/s  ({ours_s:.3f} s)")
    print(f"  Python hashlib loop     : {mb / ref_s:9.1f} MB/s  ({ref_s:.3f} s)")
    print(f"  ratio mavelin / hashlib : {ref_s / ours_s:9.2f}x")


if __name__ == "__main__":
    main()
