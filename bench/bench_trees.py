# Shared pieces of the tree benchmarks: generated trees, cache warming, the hashlib reference, sha256sum runs, timing.
import contextlib
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

CHUNK, STEP = 2048, 4
CERTIFICATES = "Certificates"
CERTIFICATE = os.path.join(CERTIFICATES, "Certificate.korvex")


def make_small_tree(top, count, max_size, seed, folder="d{:03d}", name="f{:06d}"):
    """count files of random sizes below max_size spread over 100 folders; returns their total bytes."""
    rng = random.Random(seed)
    folders = 100
    for d in range(folders):
        os.mkdir(os.path.join(top, folder.format(d)))
    payload = os.urandom(max_size + 4096)
    total = 0
    for i in range(count):
        size = rng.randrange(max_size)
        offset = rng.randrange(4096)
        with open(os.path.join(top, folder.format(i % folders), name.format(i)), "wb") as f:
            f.write(payload[offset:offset + size])
        total += size
    return total


def make_large_tree(top, files, total_bytes, name="large{}.bin"):
    """files files of random bytes sharing total_bytes; returns the bytes written."""
    per_file = total_bytes // files
    for i in range(files):
        with open(os.path.join(top, name.format(i)), "wb") as f:
            written = 0
            while written < per_file:
                n = min(1 << 22, per_file - written)
                f.write(os.urandom(n))
                written += n
    return per_file * files


def tree_files(top):
    """Files of the tree, the certificate folder left out."""
    for root, dirs, names in os.walk(top):
        dirs[:] = [d for d in dirs if d != CERTIFICATES]
        for name in names:
            yield os.path.join(root, name)


def warm_file(path):
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


def warm(top):
    for path in tree_files(top):
        warm_file(path)


def certified_table(certificate):
    with zipfile.ZipFile(certificate) as zf:
        return pickle.loads(zf.read("Certificate.pk"))


def python_fingerprint(path, chunk=CHUNK, step=STEP):
    """The fingerprint in plain Python: sha256 of every chunk, then one digest per row of step."""
    with open(path, "rb") as f:
        count = math.ceil(os.path.getsize(path) / chunk)
        digests = [hashlib.sha256(f.read(chunk)).hexdigest() for _ in range(count)]
    return [[hashlib.sha256("".join(digests[s::step]).encode()).hexdigest()] for s in range(step)]


def run_sha256sum(top, cores, files, prune_certificates=False):
    """One sha256sum digest per file of the tree on all cores, through find | xargs -P."""
    batch = max(1, min(1000, files // (cores * 8)))
    prune = f"-path '{top}/{CERTIFICATES}' -prune -o " if prune_certificates else ""
    subprocess.run(f"find '{top}' {prune}-type f -print0 | xargs -0 -P {cores} -n {batch} sha256sum > /dev/null",
                   shell=True, check=True)


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def print_rates(label, size, files, results):
    """The tree's heading, then MB/s, files/s and seconds of each run in results (name: seconds)."""
    print(f"\n{label}: {files} files, {size / 1e6:.1f} MB")
    for name, seconds in results.items():
        print(f"  {name:<28} {size / 1e6 / seconds:9.1f} MB/s {files / seconds:11.0f} files/s  ({seconds:.2f} s)")


def add_tree_options(parser):
    parser.add_argument("--small-files", type=int, default=100_000)
    parser.add_argument("--small-max", type=int, default=4096, help="small files are 0 .. this many bytes")
    parser.add_argument("--large-gib", type=float, default=2.0)
    parser.add_argument("--large-files", type=int, default=8)
    parser.add_argument("--cores", type=int, default=os.cpu_count())


@contextlib.contextmanager
def generated_trees(args, prefix, small_layout, large_name):
    """The small and the large tree of the options in a new folder under /tmp, removed afterwards.

    Yields (top, bytes) of each; small_layout holds make_small_tree's seed, folder and name."""
    base = tempfile.mkdtemp(prefix=prefix, dir="/tmp")
    try:
        small, large = os.path.join(base, "small"), os.path.join(base, "large")
        os.mkdir(small)
        os.mkdir(large)
        print(f"generating {args.small_files} small files and {args.large_gib} GiB of large files ...", flush=True)
        small_size = make_small_tree(small, args.small_files, args.small_max, **small_layout)
        large_size = make_large_tree(large, args.large_files, int(args.large_gib * (1 << 30)), large_name)
        yield (small, small_size), (large, large_size)
    finally:
        shutil.rmtree(base, ignore_errors=True)
