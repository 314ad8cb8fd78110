#!/usr/bin/env python3
# Validation throughput on many small files and on large files: mavelin against sha256sum with xargs -P and a hashlib loop.
"""Usage: python bench/bench_validate.py [--small-files 100000] [--large-gib 2] [--large-files 8]

Generates two trees under /tmp (removed afterwards): many small files of random sizes below
--small-max bytes in 100 folders, and --large-files files totalling --large-gib GiB. Each tree is
signed first (not timed); then, with its contents in the page cache, the benchmark times

  * mavelin.utils.validate_certificate(tree, certificate) (load, scan, fingerprints, comparison),
  * find TREE -type f -print0 | xargs -0 -P <cores> sha256sum (one digest per file, all cores),
  * a Python loop: the certificate loaded with zipfile and pickle, then per file hashlib.sha256
    of every 2048-byte chunk, rows of step 4, compared with the certified fingerprint,

and prints MB/s and files/s of each and the ratios of mavelin to the other two. A validation
that does not succeed, or a certified fingerprint the Python loop disagrees with, voids the run.
"""
import argparse
import hashlib
import math
import os
import pickle
import random
import shutil
import subprocess
import tempfile
import time
import zipfile

import mavelin.utils

CHUNK, STEP = 2048, 4


def make_small_tree(top, count, max_size, seed=3):
    rng = random.Random(seed)
    folders = 100
    for d in range(folders):
        os.mkdir(os.path.join(top, f"v{d:03d}"))
    pool = os.urandom(max_size + 4096)
    total = 0
    for i in range(count):
        size = rng.randrange(max_size)
        offset = rng.randrange(4096)
        with open(os.path.join(top, f"v{i % folders:03d}", f"s{i:06d}.dat"), "wb") as f:
            f.write(pool[offset:offset + size])
        total += size
    return total


def make_large_tree(top, files, total_bytes):
    per_file = total_bytes // files
    block = 1 << 22
    for i in range(files):
        with open(os.path.join(top, f"big{i:02d}.dat"), "wb") as f:
            left = per_file
            while left:
                n = min(block, left)
                f.write(os.urandom(n))
                left -= n
    return per_file * files


def tree_files(top):
    """Files of the tree, the certificate folder left out."""
    for root, dirs, names in os.walk(top):
        dirs[:] = [d for d in dirs if d != "Certificates"]
        for name in names:
            yield os.path.join(root, name)


def warm(top):
    for path in tree_files(top):
        with open(path, "rb") as f:
            while f.read(1 << 24):
                pass


def certified_table(certificate):
    with zipfile.ZipFile(certificate) as zf:
        return pickle.loads(zf.read("Certificate.pk"))


def python_fingerprint(path):
    with open(path, "rb") as f:
        count = math.ceil(os.path.getsize(path) / CHUNK)
        digests = [hashlib.sha256(f.read(CHUNK)).hexdigest() for _ in range(count)]
    return [[hashlib.sha256("".join(digests[s::STEP]).encode()).hexdigest()] for s in range(STEP)]


def run_python_loop(top, table, files):
    """The same work in plain Python: load the certificate, fingerprint every file, compare."""
    if len(table) != files:
        raise SystemExit(f"certificate holds {len(table)} records for {files} files: result void")
    mismatches = 0
    for node in table.values():
        if python_fingerprint(os.path.join(top, node.file_path)) != node.get_fingerprint():
            mismatches += 1
    if mismatches:
        raise SystemExit(f"{mismatches} certified fingerprints disagree with hashlib: result void")


def run_sha256sum(top, cores, files):
    batch = max(1, min(1000, files // (cores * 8)))
    subprocess.run(f"find '{top}' -path '{top}/Certificates' -prune -o -type f -print0 "
                   f"| xargs -0 -P {cores} -n {batch} sha256sum > /dev/null", shell=True, check=True)


def run_validation(top, certificate):
    try:
        mavelin.utils.validate_certificate(top, certificate)
    except SystemExit as e:
        raise SystemExit(f"validation of an unchanged tree ended with {e.code}: result void")


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def bench(label, top, size, files, cores):
    mavelin.utils.sign_folder(top, "silent")
    certificate = os.path.join(top, "Certificates", "Certificate.korvex")
    warm(top)
    # The certified table is loaded only after mavelin's run: holding 100,000 extra records
    # would slow its run through the cyclic garbage collector.
    results = {"mavelin validate": timed(lambda: run_validation(top, certificate))}
    results[f"sha256sum, xargs -P {cores}"] = timed(lambda: run_sha256sum(top, cores, files))
    results["Python hashlib loop"] = timed(lambda: run_python_loop(top, certified_table(certificate),
                                                                   files))
    print(f"\n{label}: {files} files, {size / 1e6:.1f} MB")
    for name, seconds in results.items():
        print(f"  {name:<28} {size / 1e6 / seconds:9.1f} MB/s {files / seconds:11.0f} files/s"
              f"  ({seconds:.2f} s)")
    ours = results["mavelin validate"]
    for name, seconds in list(results.items())[1:]:
        print(f"  ratio mavelin / {name:<17} {seconds / ours:6.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--small-files", type=int, default=100_000)
    parser.add_argument("--small-max", type=int, default=4096, help="small files are 0 .. this many bytes")
    parser.add_argument("--large-gib", type=float, default=2.0)
    parser.add_argument("--large-files", type=int, default=8)
    parser.add_argument("--cores", type=int, default=os.cpu_count())
    args = parser.parse_args()

    base = tempfile.mkdtemp(prefix="mavelin-bench-validate-", dir="/tmp")
    try:
        small, large = os.path.join(base, "small"), os.path.join(base, "large")
        os.mkdir(small)
        os.mkdir(large)
        print(f"generating {args.small_files} small files and {args.large_gib} GiB of large files ...",
              flush=True)
        small_size = make_small_tree(small, args.small_files, args.small_max)
        large_size = make_large_tree(large, args.large_files, int(args.large_gib * (1 << 30)))
        os.sync()  # no write-back of the generated data during the timed runs
        bench("small files", small, small_size, args.small_files, args.cores)
        bench("large files", large, large_size, args.large_files, args.cores)
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
