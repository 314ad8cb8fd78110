#!/usr/bin/env python3
# Signing throughput on many small files and on large files: mavelin against sha256sum with xargs -P and a hashlib loop.
"""Usage: python bench/bench_sign.py [--small-files 100000] [--large-gib 2] [--large-files 8]

Generates two trees under /tmp (removed afterwards): many small files of random sizes below
--small-max bytes in 100 folders, and --large-files files totalling --large-gib GiB. For each tree,
with its contents in the page cache, it times

  * mavelin.utils.sign_folder(tree, "silent") (scan, fingerprints, certificate),
  * find TREE -type f -print0 | xargs -0 -P <cores> sha256sum (one digest per file, all cores),
  * a Python loop: per file, hashlib.sha256 of every 2048-byte chunk, rows of step 4,

and prints MB/s and files/s of each and the ratios of mavelin to the other two.
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


def make_small_tree(top, count, max_size, seed=1):
    rng = random.Random(seed)
    folders = 100
    for d in range(folders):
        os.mkdir(os.path.join(top, f"d{d:03d}"))
    payload = os.urandom(max_size + 4096)
    total = 0
    for i in range(count):
        size = rng.randrange(max_size)
        offset = rng.randrange(4096)
        with open(os.path.join(top, f"d{i % folders:03d}", f"f{i:06d}"), "wb") as f:
            f.write(payload[offset:offset + size])
        total += size
    return total


def make_large_tree(top, files, total_bytes):
    per_file = total_bytes // files
    for i in range(files):
        with open(os.path.join(top, f"large{i}.bin"), "wb") as f:
            written = 0
            while written < per_file:
                n = min(1 << 22, per_file - written)
                f.write(os.urandom(n))
                written += n
    return per_file * files


def all_files(top):
    for root, _dirs, names in os.walk(top):
        for name in names:
            yield os.path.join(root, name)


def warm(top):
    for path in all_files(top):
        with open(path, "rb") as f:
            while f.read(1 << 24):
                pass


def check_and_remove_certificate(top, samples=50):
    """A few certified fingerprints against the Python loop, then the certificate goes."""
    with zipfile.ZipFile(os.path.join(top, "Certificates", "Certificate.korvex")) as zf:
        table = pickle.loads(zf.read("Certificate.pk"))
    for node in random.Random(2).sample(list(table.values()), min(samples, len(table))):
        if node.get_fingerprint() != python_fingerprint(os.path.join(top, node.file_path)):
            raise SystemExit(f"wrong fingerprint for {node.file_path}: the benchmark result is void")
    shutil.rmtree(os.path.join(top, "Certificates"))


def run_sha256sum(top, cores, files):
    batch = max(1, min(1000, files // (cores * 8)))
    subprocess.run(f"find '{top}' -type f -print0 | xargs -0 -P {cores} -n {batch} sha256sum > /dev/null",
                   shell=True, check=True)


def python_fingerprint(path):
    with open(path, "rb") as f:
        count = math.ceil(os.path.getsize(path) / CHUNK)
        digests = [hashlib.sha256(f.read(CHUNK)).hexdigest() for _ in range(count)]
    return [[hashlib.sha256("".join(digests[s::STEP]).encode()).hexdigest()] for s in range(STEP)]


def run_python_loop(top):
    for path in all_files(top):
        python_fingerprint(path)


def mavelin_steps(top):
    """Seconds spent in each step of a signing, through the manager the procedure drives."""
    from mavelin.core.file_managing import FileManager
    manager = FileManager(top, CHUNK, STEP)
    steps = {"scan": manager._parse_directory, "fingerprints": manager._generate_fingerprints,
             "certificate": lambda: (manager._save_certificate(), manager._archive_certificate())}
    seconds = {name: timed(step) for name, step in steps.items()}
    shutil.rmtree(os.path.join(top, "Certificates"))
    return seconds


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def bench(label, top, size, files, cores):
    warm(top)
    results = {"mavelin sign_folder": timed(lambda: mavelin.utils.sign_folder(top, "silent"))}
    check_and_remove_certificate(top)
    results.update({
        f"sha256sum, xargs -P {cores}": timed(lambda: run_sha256sum(top, cores, files)),
        "Python hashlib loop": timed(lambda: run_python_loop(top)),
    })
    print(f"\n{label}: {files} files, {size / 1e6:.1f} MB")
    for name, seconds in results.items():
        print(f"  {name:<28} {size / 1e6 / seconds:9.1f} MB/s {files / seconds:11.0f} files/s  ({seconds:.2f} s)")
    steps = mavelin_steps(top)
    print("  mavelin steps: " + ", ".join(f"{name} {sec:.2f} s" for name, sec in steps.items()))
    ours = results["mavelin sign_folder"]
    for name, seconds in list(results.items())[1:]:
        print(f"  ratio mavelin / {name}: {seconds / ours:.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--small-files", type=int, default=100_000)
    parser.add_argument("--small-max", type=int, default=4096, help="small files are 0 .. this many bytes")
    parser.add_argument("--large-gib", type=float, default=2.0)
    parser.add_argument("--large-files", type=int, default=8)
    parser.add_argument("--cores", type=int, default=os.cpu_count())
    args = parser.parse_args()

    base = tempfile.mkdtemp(prefix="mavelin-bench-", dir="/tmp")
    try:
        small, large = os.path.join(base, "small"), os.path.join(base, "large")
        os.mkdir(small)
        os.mkdir(large)
        print(f"generating {args.small_files} small files and {args.large_gib} GiB of large files ...", flush=True)
        small_size = make_small_tree(small, args.small_files, args.small_max)
        large_size = make_large_tree(large, args.large_files, int(args.large_gib * (1 << 30)))
        bench("small files", small, small_size, args.small_files, args.cores)
        bench("large files", large, large_size, args.large_files, args.cores)
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
