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
import os
import random
import shutil

import mavelin.utils

from bench_trees import (CERTIFICATE, CERTIFICATES, CHUNK, STEP, add_tree_options, certified_table,
                         generated_trees, print_rates, python_fingerprint, run_sha256sum, timed, tree_files,
                         warm)


def check_and_remove_certificate(top, samples=50):
    """A few certified fingerprints against the Python loop, then the certificate goes."""
    table = certified_table(os.path.join(top, CERTIFICATE))
    for node in random.Random(2).sample(list(table.values()), min(samples, len(table))):
        if node.get_fingerprint() != python_fingerprint(os.path.join(top, node.file_path)):
            raise SystemExit(f"wrong fingerprint for {node.file_path}: the benchmark result is void")
    shutil.rmtree(os.path.join(top, CERTIFICATES))


def run_python_loop(top):
    for path in tree_files(top):
        python_fingerprint(path)


def mavelin_steps(top):
    """Seconds spent in each step of a signing, through the manager the procedure drives."""
    from mavelin.core.file_managing import FileManager
    manager = FileManager(top, CHUNK, STEP)
    steps = {"scan": manager._parse_directory, "fingerprints": manager._generate_fingerprints,
             "certificate": lambda: (manager._save_certificate(), manager._archive_certificate())}
    seconds = {name: timed(step) for name, step in steps.items()}
    shutil.rmtree(os.path.join(top, CERTIFICATES))
    return seconds


def bench(label, top, size, files, cores):
    warm(top)
    results = {"mavelin sign_folder": timed(lambda: mavelin.utils.sign_folder(top, "silent"))}
    check_and_remove_certificate(top)
    results.update({
        f"sha256sum, xargs -P {cores}": timed(lambda: run_sha256sum(top, cores, files)),
        "Python hashlib loop": timed(lambda: run_python_loop(top)),
    })
    print_rates(label, size, files, results)
    steps = mavelin_steps(top)
    print("  mavelin steps: " + ", ".join(f"{name} {sec:.2f} s" for name, sec in steps.items()))
    ours = results["mavelin sign_folder"]
    for name, seconds in list(results.items())[1:]:
        print(f"  ratio mavelin / {name}: {seconds / ours:.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_tree_options(parser)
    args = parser.parse_args()

    with generated_trees(args, "mavelin-bench-", {"seed": 1}, "large{}.bin") as (small, large):
        bench("small files", *small, args.small_files, args.cores)
        bench("large files", *large, args.large_files, args.cores)


if __name__ == "__main__":
    main()
