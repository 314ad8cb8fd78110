#!/usr/bin/env python3
# Whole-process signing and validation as trees grow (files/s, GB/s, peak memory per file), side by side with rhash, b3sum, OpenSSL and hashlib.
"""Usage: python bench/bench_scale.py [--sizes 100000,300000,1000000] [--min-size 1024] [--max-size 16384]
                                   [--big 8x256M,1x4G] [--speed-binary PATH] [--engine-lib LIB]
                                   [--repeat 3] [--tmp DIR] [--python PYTHON] [--skip-peers]
                                   [--keep DIR] [--mixed]

For each size N it generates a tree of N files of random sizes in [--min-size, --max-size] bytes
(1000 files per folder, written by a fast generator from one random buffer) in a temporary folder
under --tmp, skipping sizes the disk cannot hold, warms the page cache, and runs as whole
processes, --repeat rounds in which each runs once, in turn (median reported):

  * PYTHON -m mavelin.cli sign_folder -p TREE
  * PYTHON -m mavelin.cli validate_certificate -p TREE
  * rhash --sha256 -r TREE                         (if installed)
  * find TREE -type f -print0 | xargs -0 -P2 b3sum  (if installed)
  * PYTHON: per file, hashlib.sha256 of every 2048-byte chunk and the rows of step 4

and prints files/s, GB/s, peak RSS (getrusage of each child, its own children included; on Linux
it also counts this launcher's RSS at the fork, printed once as the floor), peak RSS per file, and the ratios of signing and validation to the peers. Once per run it also prints
`openssl speed -evp sha256 -bytes 2048 -multi 2` (the two-core OpenSSL limit for 2048-byte
messages). Needs: the package installed in PYTHON (default: this interpreter).

With --keep DIR the tree of each size is DIR/files-N-MIN-MAX: generated there once (its byte
count beside it in DIR/files-N-MIN-MAX.bytes), kept, and reused by later runs (for trees that
take long to write, such as ten million files).

With --mixed it also measures the mixed tree: 20,000 files of log-normal sizes (median about 4 KiB,
a long tail up to a few MiB) in folders of 1000, plus 4 files of 121 to 200 MB, about 0.9 GB in
all (with --keep, kept as DIR/files-mixed).

With --big (a list of COUNTxSIZE, sizes with K, M or G), it measures the same way on trees of
large files instead (the file trees of --sizes are skipped unless --sizes is given too) and adds
GB/s against the machine's SHA-256 limit for 2048-byte chunks: the best multi-lane kernel of
bench/sha256_speed.cpp (--speed-binary, or built here with g++ from that file and --engine-lib,
default build/engine/libmavelin_engine.a of an engine build), measured in the same run, times the
processors; and the ratio to `openssl speed ... -multi 2`. As wall-clock rates mean little on a
busy machine, it also prints the rate per second of processor time (user and system, whole
process) times the processors, against the same limit and against a one-process `openssl speed`,
which openssl itself divides by processor time.

Unless --skip-peers, each tree also gets a line of parts, each measured alone:
bench/read_floor.cpp (built here with g++) opening, measuring, reading and closing every file on
all processors with no hashing; the interpreter's start with the package imported; and hashing the
tree's bytes at the kernel limit. On small files their sum is about what any run that reads the
files with read calls and starts this interpreter needs; on large files reading and hashing share
the caches and the sum overstates it.
"""
import argparse
import atexit
import os
import random
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

FILES_PER_FOLDER = 1000
BLOCK = 4096

HASHLIB_LOOP = r"""
import hashlib, math, os, sys
chunk, step = 2048, 4
count = 0
for root, dirs, names in os.walk(sys.argv[1]):
    dirs[:] = [d for d in dirs if d != "Certificates"]
    for name in names:
        path = os.path.join(root, name)
        with open(path, "rb") as f:
            n = math.ceil(os.fstat(f.fileno()).st_size / chunk)
            digests = [hashlib.sha256(f.read(chunk)).hexdigest() for _ in range(n)]
        rows = [hashlib.sha256("".join(digests[s::step]).encode()).hexdigest() for s in range(step)]
        count += 1
print(count)
"""


def make_tree(top, count, min_size, max_size, seed=1):
    """count files in folders of FILES_PER_FOLDER; returns their total bytes."""
    rng = random.Random(seed)
    buffer = os.urandom(max_size + BLOCK)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
    total = 0
    folder = None
    for i in range(count):
        if i % FILES_PER_FOLDER == 0:
            folder = os.path.join(top, f"d{i // FILES_PER_FOLDER:05d}")
            os.mkdir(folder)
        size = rng.randint(min_size, max_size)
        offset = rng.randrange(BLOCK)
        fd = os.open(os.path.join(folder, f"f{i:08d}.dat"), flags, 0o644)
        try:
            os.write(fd, buffer[offset:offset + size])
        finally:
            os.close(fd)
        total += size
    return total


def disk_need(count, min_size, max_size):
    """Bytes the tree takes on disk, roughly: data rounded up to blocks, an inode (256 bytes on
    ext4 and XFS) and a directory entry each, and a tenth more for the folders."""
    mean = (min_size + max_size) / 2
    per_file = (mean + BLOCK - 1) // BLOCK * BLOCK + 256 + 64
    return int(count * per_file * 1.1)


def run_measured(argv, shell=False, cpu=None):
    """Wall time and peak RSS (bytes) of one child process and its own children; `cpu`, a list if
    given, receives their processor time (user and system seconds)."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, shell=shell, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if proc.returncode != 0:
        raise RuntimeError(f"{argv!r} failed with {proc.returncode}: {err[-2000:]}")
    if cpu is not None:
        cpu.append(usage.ru_utime + usage.ru_stime)
    return elapsed, usage.ru_maxrss * 1024


def median_run(argv, repeat, shell=False, before=None, cpu=None):
    """Median wall time and largest peak RSS of `repeat` runs; `cpu`, a list if given, receives the
    median processor time."""
    return interleaved_runs({"run": dict(argv=argv, shell=shell, before=before, cpu=cpu)}, repeat)["run"]


def interleaved_runs(commands, repeat):
    """{name: (median wall seconds, largest peak RSS)} of `repeat` rounds in which each command of
    `commands` ({name: dict(argv, shell, before, cpu)}) runs once, in order: a machine whose speed
    drifts during the run then slows every command alike and the ratios hold."""
    times = {name: [] for name in commands}
    peaks = {name: [] for name in commands}
    seconds = {name: [] for name in commands}
    for _ in range(repeat):
        for name, c in commands.items():
            if c.get("before"):
                c["before"]()
            t, rss = run_measured(c["argv"], shell=c.get("shell", False), cpu=seconds[name])
            times[name].append(t)
            peaks[name].append(rss)
    for name, c in commands.items():
        if c.get("cpu") is not None:
            c["cpu"].append(statistics.median(seconds[name]))
    return {name: (statistics.median(times[name]), max(peaks[name])) for name in commands}


def warm(top):
    subprocess.run(f"find {shlex.quote(top)} -type f -print0 | xargs -0 cat > /dev/null", shell=True, check=True)


def openssl_two_core(multi=True):
    """GB/s of `openssl speed -evp sha256 -bytes 2048 -multi 2`, or None. multi=False: one process,
    whose figure openssl divides by its processor time (steady on a busy machine)."""
    if not shutil.which("openssl"):
        return None
    r = subprocess.run(["openssl", "speed", "-evp", "sha256", "-bytes", "2048", "-seconds", "3"]
                       + (["-multi", "2"] if multi else []), capture_output=True, text=True)
    for line in r.stdout.splitlines():
        # The summary line: "sha256   <rate>k" (thousands of bytes per second, both processes).
        fields = line.split()
        if fields and fields[0].lower() == "sha256" and fields[-1].endswith("k"):
            try:
                return float(fields[-1][:-1]) * 1000 / 1e9
            except ValueError:
                pass
    return None


def parse_big(text):
    """'8x256M,1x4G' -> [(8, 268435456), (1, 4294967296)]."""
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    trees = []
    for item in text.split(","):
        if not item:
            continue
        count, size = item.lower().split("x")
        factor = units.get(size[-1:].upper(), 1)
        trees.append((int(count), int(size.rstrip("kmgKMG")) * factor))
    return trees


def kernel_limit(args):
    """(name, GB/s per core) of the best multi-lane SHA-256 kernel, from bench/sha256_speed.cpp; or None."""
    binary = args.speed_binary
    here = os.path.dirname(os.path.abspath(__file__))
    build = None
    if binary is None:
        lib = args.engine_lib or os.path.join(here, os.pardir, "build", "engine", "libmavelin_engine.a")
        if not (shutil.which("g++") and os.path.exists(lib)):
            print(f"kernel limit: n/a (no g++ or no engine library {lib}; see bench/sha256_speed.cpp)")
            return None
        build = tempfile.mkdtemp(prefix="mavelin-speed-")
        binary = os.path.join(build, "sha256_speed")
        subprocess.run(["g++", "-std=c++20", "-O2", "-I", os.path.join(here, os.pardir, "src"), "-o", binary,
                        os.path.join(here, "sha256_speed.cpp"), lib, "-pthread"], check=True)
    try:
        out = subprocess.run([binary, "--kernels"], capture_output=True, text=True, check=True).stdout
    finally:
        if build:
            shutil.rmtree(build, ignore_errors=True)
    for line in out.splitlines():
        # "best multi-lane kernel: avx512, 16 at a time, 3.34 GB/s per core"
        if line.startswith("best multi-lane kernel:"):
            fields = line.split(":", 1)[1].split(",")
            return f"{fields[0].strip()}, {fields[1].strip()}", float(fields[2].split()[0])
    print("kernel limit: n/a (no multi-lane kernel on this CPU)")
    return None


def read_floor_seconds(args, top):
    """Median seconds of bench/read_floor.cpp reading every file of `top` on all processors, no
    hashing (built here with g++ once per run); None without g++."""
    if getattr(args, "read_floor_binary", None) is None:
        if not shutil.which("g++"):
            print("read alone: n/a (no g++; see bench/read_floor.cpp)")
            args.read_floor_binary = ""
            return None
        build = tempfile.mkdtemp(prefix="mavelin-floor-")
        atexit.register(shutil.rmtree, build, ignore_errors=True)
        binary = os.path.join(build, "read_floor")
        here = os.path.dirname(os.path.abspath(__file__))
        subprocess.run(["g++", "-std=c++20", "-O2", "-o", binary, os.path.join(here, "read_floor.cpp"),
                        "-pthread"], check=True)
        args.read_floor_binary = binary
    if not args.read_floor_binary:
        return None
    out = subprocess.run([args.read_floor_binary, top, str(os.cpu_count() or 1), str(max(3, args.repeat))],
                         capture_output=True, text=True, check=True).stdout
    # "read alone: 100000 files, 0.869 GB, 2 threads: 0.219 s, ..."
    return float(out.split("threads:", 1)[1].split()[0])


def kernel_limit_once(args):
    """kernel_limit(args), measured once per run and remembered."""
    if not hasattr(args, "kernel"):
        args.kernel = kernel_limit(args)
    return args.kernel


def print_parts(args, top, data_bytes, results):
    """Where the time goes: reading alone, hashing at the kernel limit and the interpreter's start,
    each measured alone, side by side with signing and with what 1.2x b3sum and 2x rhash take."""
    read_s = read_floor_seconds(args, top)
    if read_s is None:
        return
    start_s, _ = median_run([args.python, "-c", "import mavelin.cli"], max(3, args.repeat))
    kernel = kernel_limit_once(args)
    cores = os.cpu_count() or 1
    parts = [f"read alone {read_s:.3f} s", f"interpreter start {start_s:.3f} s"]
    floor = read_s + start_s
    if kernel:
        hash_s = data_bytes / 1e9 / (kernel[1] * cores)
        parts.append(f"hashing at the kernel limit {hash_s:.3f} s")
        floor += hash_s
    text = f"  parts: {' + '.join(parts)} = {floor:.3f} s; signing {results['sign'][0]:.3f} s"
    if "b3sum -P2" in results:
        text += f"; 1.2x b3sum -P2 is {results['b3sum -P2'][0] / 1.2:.3f} s"
    if "rhash" in results:
        text += f"; 2x rhash is {results['rhash'][0] / 2:.3f} s, 2.5x {results['rhash'][0] / 2.5:.3f} s"
    print(text)


def make_big_tree(top, count, size, seed=1):
    """count files of `size` random-looking bytes (one random buffer at shifting offsets); returns their total bytes."""
    rng = random.Random(seed)
    block = 1 << 24
    buffer = os.urandom(block + BLOCK)
    for i in range(count):
        with open(os.path.join(top, f"big{i:03d}.bin"), "wb") as f:
            left = size
            while left > 0:
                offset = rng.randrange(BLOCK)
                n = min(block, left)
                f.write(buffer[offset:offset + n])
                left -= n
    return count * size


MIXED_FILES = 20_000
MIXED_BIG = (121_000_000, 147_000_000, 173_000_000, 200_000_000)


def make_mixed_tree(top, seed=3):
    """MIXED_FILES files of log-normal sizes and the MIXED_BIG files; returns their total bytes."""
    rng = random.Random(seed)
    total = 0
    buffer = os.urandom((8 << 20) + BLOCK)
    for i in range(MIXED_FILES):
        folder = os.path.join(top, f"d{i // FILES_PER_FOLDER:05d}")
        if i % FILES_PER_FOLDER == 0:
            os.mkdir(folder)
        size = min(int(rng.lognormvariate(8.3, 1.6)), 8 << 20)
        offset = rng.randrange(BLOCK)
        with open(os.path.join(folder, f"f{i:06d}.dat"), "wb") as f:
            f.write(buffer[offset:offset + size])
        total += size
    for i, size in enumerate(MIXED_BIG):
        with open(os.path.join(top, f"big{i}.bin"), "wb") as f:
            left = size
            while left > 0:
                n = min(8 << 20, left)
                offset = rng.randrange(BLOCK)
                f.write(buffer[offset:offset + n])
                left -= n
        total += size
    return total


def bench_mixed(args):
    top = os.path.join(args.keep, "files-mixed") if args.keep else None
    data_bytes = None
    if top and os.path.isdir(top):
        try:
            with open(top + ".bytes") as f:
                data_bytes = int(f.read())
        except (OSError, ValueError):
            data_bytes = None
    generated = data_bytes is None
    if generated:
        top = tempfile.mkdtemp(prefix="mavelin-mixed-", dir=args.keep or args.tmp)
        data_bytes = make_mixed_tree(top)
        if args.keep:
            os.rename(top, os.path.join(args.keep, "files-mixed"))
            top = os.path.join(args.keep, "files-mixed")
            with open(top + ".bytes", "w") as f:
                f.write(str(data_bytes))
    count = MIXED_FILES + len(MIXED_BIG)
    print(f"mixed tree: {count:,} files, {data_bytes / 1e9:.2f} GB ({top})")
    try:
        measure_tree(args, top, count, data_bytes)
    finally:
        if not args.keep:
            shutil.rmtree(top, ignore_errors=True)


def fmt_row(name, files, data_bytes, t, rss):
    return (f"  {name:<22} {t:8.2f} s {files / t:12,.0f} files/s {data_bytes / t / 1e9:7.3f} GB/s "
            f"peak {rss / 2**20:8.1f} MiB {rss / files:8.0f} B/file")


def bench_size(args, count):
    top, data_bytes = kept_tree(args, count) if args.keep else (None, None)
    if top is None:
        need = disk_need(count, args.min_size, args.max_size)
        free = shutil.disk_usage(args.keep or args.tmp).free
        if need > free * 0.9:
            print(f"{count:,} files: skipped, needs about {need / 2**30:.1f} GiB, {free / 2**30:.1f} GiB free")
            return
        top = tempfile.mkdtemp(prefix="mavelin-scale-", dir=args.keep or args.tmp)
        t0 = time.perf_counter()
        data_bytes = make_tree(top, count, args.min_size, args.max_size)
        print(f"{count:,} files, {data_bytes / 1e9:.2f} GB (generated in {time.perf_counter() - t0:.1f} s)")
        if args.keep:
            # A kept tree without its byte count was never completed: this one replaces it.
            shutil.rmtree(tree_path(args, count), ignore_errors=True)
            os.rename(top, tree_path(args, count))
            top = tree_path(args, count)
            with open(top + ".bytes", "w") as f:  # beside the tree, so it is no file of it
                f.write(str(data_bytes))
    else:
        print(f"{count:,} files, {data_bytes / 1e9:.2f} GB (kept tree {top})")
    try:
        results = measure_tree(args, top, count, data_bytes)
        return count / results["sign"][0], count / results["validate"][0]
    finally:
        if args.keep:
            shutil.rmtree(os.path.join(top, "Certificates"), ignore_errors=True)
        else:
            shutil.rmtree(top, ignore_errors=True)


def tree_path(args, count):
    return os.path.join(args.keep, f"files-{count}-{args.min_size}-{args.max_size}")


def kept_tree(args, count):
    """The kept tree of this size and its data bytes, or (None, None) when it was never completed
    (or was removed since)."""
    top = tree_path(args, count)
    if not os.path.isdir(top):
        return None, None
    try:
        with open(top + ".bytes") as f:
            return top, int(f.read())
    except (OSError, ValueError):
        return None, None


def bench_big(args, count, size, limit, openssl, openssl_single=None):
    data_bytes = count * size
    free = shutil.disk_usage(args.tmp).free
    if data_bytes * 1.05 > free * 0.9:
        print(f"{count} x {size / 2**20:,.0f} MiB: skipped, {free / 2**30:.1f} GiB free")
        return
    top = tempfile.mkdtemp(prefix="mavelin-big-", dir=args.tmp)
    try:
        t0 = time.perf_counter()
        make_big_tree(top, count, size)
        print(f"{count} x {size / 2**20:,.0f} MiB, {data_bytes / 1e9:.2f} GB "
              f"(generated in {time.perf_counter() - t0:.1f} s)")
        cpu = {}
        results = measure_tree(args, top, count, data_bytes, cpu)
        cores = os.cpu_count() or 1
        for step in ("sign", "validate"):
            rate = data_bytes / results[step][0] / 1e9
            parts = [f"  {step:<9} {rate:6.2f} GB/s"]
            if limit:
                parts.append(f"{rate / limit:6.1%} of the kernel limit")
            if openssl:
                parts.append(f"{rate / openssl:5.2f}x openssl -multi 2")
            parts.append(f"peak {results[step][1] / 2**20:,.1f} MiB")
            # What the whole process costs in processor time: on a busy machine, the rate it
            # would reach with all processors to itself.
            per_cpu = data_bytes / cpu[step][0] / 1e9
            text = f"{per_cpu:.2f} GB/s per processor-second (x {cores}: {per_cpu * cores:.2f} GB/s"
            if limit:
                text += f", {per_cpu * cores / limit:.1%} of the limit"
            if openssl_single:
                text += f", {per_cpu / openssl_single:.2f}x openssl"
            parts.append(text + ")")
            print(", ".join(parts))
    finally:
        shutil.rmtree(top, ignore_errors=True)


def measure_tree(args, top, count, data_bytes, cpu=None):
    """Warms the tree's page cache, runs mavelin and its peers on it and prints their rows; returns
    {name: (median seconds, peak RSS bytes)}. `cpu`, a dict if given, receives the median processor
    seconds of signing and validation as one-element lists under "sign" and "validate"."""
    cpu = {} if cpu is None else cpu
    warm(top)
    py = args.python
    cert = os.path.join(top, "Certificates")
    results = {}

    def drop_certificate():
        shutil.rmtree(cert, ignore_errors=True)

    # Signing first in every round: validation reads the certificate it has just written.
    commands = {
        "sign": dict(argv=[py, "-m", "mavelin.cli", "sign_folder", "-p", top], before=drop_certificate,
                     cpu=cpu.setdefault("sign", [])),
        "validate": dict(argv=[py, "-m", "mavelin.cli", "validate_certificate", "-p", top],
                         cpu=cpu.setdefault("validate", [])),
    }
    if not args.skip_peers:
        if shutil.which("rhash"):
            commands["rhash"] = dict(argv=["rhash", "--sha256", "-r", top])
        if shutil.which("b3sum"):
            commands["b3sum -P2"] = dict(argv=f"find {shlex.quote(top)} -type f -print0 | xargs -0 -P2 b3sum",
                                         shell=True)
    results = interleaved_runs(commands, args.repeat)
    if not args.skip_peers:
        results["hashlib loop"] = median_run([py, "-c", HASHLIB_LOOP, top], 1)
    for name, (t, rss) in results.items():
        print(fmt_row(name, count, data_bytes, t, rss))
    sign_t = results["sign"][0]
    validate_t = results["validate"][0]
    for peer in ("b3sum -P2", "rhash", "hashlib loop"):
        if peer in results:
            pt = results[peer][0]
            print(f"  ratio to {peer:<13} sign {pt / sign_t:5.2f}x  validate {pt / validate_t:5.2f}x")
    print(f"  validate / sign files/s {sign_t / validate_t:5.2f}")
    if not args.skip_peers:
        print_parts(args, top, data_bytes, results)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="100000,300000,1000000",
                        help="comma-separated numbers of files (default %(default)s)")
    parser.add_argument("--min-size", type=int, default=1024)
    parser.add_argument("--max-size", type=int, default=16384)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--tmp", default=tempfile.gettempdir(), help="where the trees are generated")
    parser.add_argument("--python", default=sys.executable, help="interpreter with mavelin installed")
    parser.add_argument("--skip-peers", action="store_true", help="time mavelin alone")
    parser.add_argument("--keep", help="generate each tree once in this folder and reuse it")
    parser.add_argument("--mixed", action="store_true",
                        help="also the mixed tree of small files and four large ones")
    parser.add_argument("--big", help="trees of large files instead, as COUNTxSIZE,... (e.g. 8x256M,1x4G)")
    parser.add_argument("--speed-binary", help="a built bench/sha256_speed (default: built here)")
    parser.add_argument("--engine-lib", help="engine library to build bench/sha256_speed.cpp against")
    args = parser.parse_args()
    big = parse_big(args.big) if args.big else []
    sizes_given = any(a == "--sizes" or a.startswith("--sizes=") for a in sys.argv[1:])
    sizes = ([int(s.replace("_", "")) for s in args.sizes.split(",") if s]
             if sizes_given or not (big or args.mixed) else [])

    print(f"CPU: {cpu_name()}, {os.cpu_count()} processors; {time.strftime('%Y-%m-%d %H:%M')}; "
          f"load average {os.getloadavg()[0]:.1f}")
    openssl = None
    if not args.skip_peers or big:
        openssl = openssl_two_core()
        print(f"openssl speed -evp sha256 -bytes 2048 -multi 2: "
              f"{'n/a' if openssl is None else f'{openssl:.2f} GB/s'}")
    if not args.skip_peers:
        for tool in ("rhash", "b3sum"):
            if not shutil.which(tool):
                print(f"{tool}: not installed, left out")
    # A child's peak RSS includes this process's own at the fork: the floor every figure carries.
    _, floor = run_measured(["true"])
    print(f"peak RSS floor (the launcher's own, in every figure): {floor / 2**20:.1f} MiB")
    rates = {}
    for count in sizes:
        r = bench_size(args, count)
        if r:
            rates[count] = r
    if len(rates) > 1:
        smallest, largest = min(rates), max(rates)
        print(f"flatness (files/s at {largest:,} over files/s at {smallest:,}): "
              f"sign {rates[largest][0] / rates[smallest][0]:.2f}, "
              f"validate {rates[largest][1] / rates[smallest][1]:.2f}")
    if args.mixed:
        bench_mixed(args)
    if big:
        kernel = kernel_limit_once(args)
        limit = None
        if kernel:
            cores = os.cpu_count() or 1
            limit = kernel[1] * cores
            print(f"kernel limit: {kernel[0]} {kernel[1]:.2f} GB/s per core (processor time) x {cores} "
                  f"= {limit:.2f} GB/s")
        single = openssl_two_core(multi=False)
        if single:
            cores = os.cpu_count() or 1
            print(f"openssl speed -evp sha256 -bytes 2048, one process: {single:.2f} GB/s per processor-second "
                  f"(x {cores}: {single * cores:.2f} GB/s)")
        for count, size in big:
            bench_big(args, count, size, limit, openssl, single)


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


if __name__ == "__main__":
    main()
