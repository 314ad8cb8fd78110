#!/usr/bin/env python3
# Signing locally against signing through a two-worker Dask LocalCluster: overhead per file and per shard.
"""Usage: python bench/bench_dask.py [--small-files 20000] [--small-max 4096] [--large-gib 1]
                                      [--large-files 4] [--workers 2] [--shard-mib 64]

Needs the optional Dask support (pip install 'mavelin[dask]'). Generates a tree of small files
and one of large files under /tmp (removed afterwards), starts a LocalCluster of --workers
processes with one thread each, and times, on each tree, a local signing with --workers hashing
threads and a signing through the cluster (one hashing thread per task). The two certificates'
payloads are checked to be equal. It then times round trips of empty shards to give the fixed
cost of one task, and prints the overhead of the cluster run per file and per shard.
"""
import argparse
import logging
import os
import time
import zipfile

import distributed

from mavelin.core import _shards
from mavelin.utils.sign_folder import sign_folder

from bench_trees import add_tree_options, generated_trees, timed, warm

CERT = os.path.join("Certificates", "Certificate.korvex")


def payload(top):
    with zipfile.ZipFile(os.path.join(top, CERT)) as zf:
        return zf.read("Certificate.pk")


def empty_shard_seconds(client, count):
    """Seconds per task of `count` shards without entries, submitted and gathered at once."""
    start = time.perf_counter()
    futures = [client.submit(_shards.fingerprint_shard, "/", [], 2048, 4, 1, pure=False)
               for _ in range(count)]
    client.gather(futures)
    return (time.perf_counter() - start) / count


def compare(label, top, size, files, client, workers, shard_bytes):
    warm(top)
    local = min(timed(lambda: sign_folder(top, "silent", jobs=workers)) for _ in range(2))
    expected = payload(top)
    cluster = min(timed(lambda: sign_folder(top, "silent", jobs=1, client=client))
                  for _ in range(2))
    assert payload(top) == expected, "the cluster's certificate differs from the local one"
    shards = max(1, size // shard_bytes + files * (16 << 10) // shard_bytes)
    print(f"\n{label}: {files} files, {size / 1e6:.1f} MB, about {shards} shards")
    for name, seconds in (("local", local), ("cluster", cluster)):
        print(f"  {name:<10} {size / 1e6 / seconds:9.1f} MB/s {files / seconds:11.0f} files/s"
              f"  ({seconds:.2f} s)")
    extra = cluster - local
    print(f"  overhead   {extra * 1e6 / files:9.1f} us per file  {extra * 1e3 / shards:9.2f} ms per shard")


def main():
    parser = argparse.ArgumentParser()
    add_tree_options(parser)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--shard-mib", type=float, default=_shards.SHARD_BYTES / (1 << 20))
    parser.set_defaults(small_files=20_000, large_gib=1.0, large_files=4)
    args = parser.parse_args()
    _shards.SHARD_BYTES = int(args.shard_mib * (1 << 20))
    logging.disable(logging.CRITICAL)
    cluster = distributed.LocalCluster(n_workers=args.workers, processes=True,
                                       threads_per_worker=1, dashboard_address=None)
    client = distributed.Client(cluster)
    try:
        empty_shard_seconds(client, 20)  # workers import the module once
        per_task = empty_shard_seconds(client, 500)
        print(f"one empty shard: {per_task * 1e3:.2f} ms per task (500 tasks, {args.workers} workers)")
        with generated_trees(args, "bench-dask-", {"seed": 5}, "large{}.bin") as (small, large):
            compare("small tree", small[0], small[1], args.small_files, client, args.workers,
                    _shards.SHARD_BYTES)
            compare("large tree", large[0], large[1], args.large_files, client, args.workers,
                    _shards.SHARD_BYTES)
    finally:
        client.close()
        cluster.close()


if __name__ == "__main__":
    main()
