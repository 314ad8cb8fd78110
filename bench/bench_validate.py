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
import os

import mavelin.utils

from bench_trees import (CERTIFICATE, add_tree_options, certified_table, generated_trees, print_rates,
                         python_fingerprint, run_sha256sum, timed, warm)


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


def run_validation(top, certificate):
    try:
        mavelin.utils.validate_certificate(top, certificate)
    except SystemExit as e:
        raise SystemExit(f"validation of an unchanged tree ended with {e.code}: result void")


def bench(label, top, size, files, cores):
    mavelin.utils.sign_folder(top, "silent")
    certificate = os.path.join(top, CERTIFICATE)
    warm(top)
    # The certified table is loaded only after mavelin's run: holding 100,000 extra records
    # would slow its run through the cyclic garbage collector.
    results = {"mavelin validate": timed(lambda: run_validation(top, certificate))}
    results[f"sha256sum, xargs -P {cores}"] = timed(
        lambda: run_sha256sum(top, cores, files, prune_certificates=True))
    results["Python hashlib loop"] = timed(lambda: run_python_loop(top, certified_table(certificate),
                                                                   files))
    print_rates(label, size, files, results)
    ours = results["mavelin validate"]
    for name, seconds in list(results.items())[1:]:
        print(f"  ratio mavelin / {name:<17} {seconds / ours:6.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    add_tree_options(parser)
    args = parser.parse_args()

    small_layout = {"seed": 3, "folder": "v{:03d}", "name": "s{:06d}.dat"}
    with generated_trees(args, "mavelin-bench-validate-", small_layout, "big{:02d}.dat") as (small, large):
        os.sync()  # no write-back of the generated data during the timed runs
        bench("small files", *small, args.small_files, args.cores)
        bench("large files", *large, args.large_files, args.cores)


if __name__ == "__main__":
    main()
