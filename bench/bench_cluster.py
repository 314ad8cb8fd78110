#!/usr/bin/env python3
# Signing a tree of many small files through a Dask LocalCluster against a local run: the caller's peak memory, wall time, tasks and their cost.
"""Usage: python bench/bench_cluster.py [--files 1000000] [--min-size 512] [--max-size 4096]
                                        [--workers 2] [--shard-mib 64] [--repeat 2]
                                        [--tmp DIR] [--keep DIR] [--python PYTHON]

Needs the optional Dask support (pip install 'mavelin[dask]'). Generates a tree of --files files
of random sizes in [--min-size, --max-size] bytes in folders of 1000 (bench/bench_scale.py's
generator; with --keep DIR it is DIR/files-N-MIN-MAX, kept and reused as there), starts a
LocalCluster of --workers processes with one thread each, its scheduler in this process, and runs
--repeat rounds, each of them two fresh interpreters in turn (the median is reported):

  * local:   mavelin.utils.sign_folder(TREE, jobs=--workers)
  * cluster: mavelin.utils.sign_folder(TREE, jobs=1, scheduler=ADDRESS)

Each child prints its wall time, its resident memory just before the signing (after its imports)
and its RSS high-water mark after it (VmHWM of /proc/self/status: getrusage's ru_maxrss also
holds the high-water mark of the memory the child shared with this process until its exec, which
the scheduler here makes hundreds of megabytes); the caller's cost per
file is the difference over the files (Linux), as the scheduler and the workers live in other
processes. The two certificates' payloads are checked to
be equal. A scheduler plugin counts the fingerprint tasks and stamps the first submission and the
last result, which splits the cluster run into the caller's walk and planning (start to the first
task), the tasks (first to last; the rows are filled into the table as results come back) and the
rest (last result to the end: the table finished and the payload written).

The overhead per task is given two ways: (cluster wall - local wall) / tasks, and the round trip
of a batch of 500 empty tasks submitted at once from this process (the fixed cost of one task).
No figure is asserted: on a shared machine they move with the load, printed at the start.
"""
import argparse
import json
import logging
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

import distributed
from distributed.diagnostics.plugin import SchedulerPlugin
from distributed.utils import key_split

from mavelin.core import _shards

from bench_scale import make_tree

CERTIFICATES = "Certificates"
CERT = os.path.join(CERTIFICATES, "Certificate.korvex")
TASKS = ("walk_subtree", "fingerprint_shard")

CHILD = r"""
import json, resource, sys, time
args = json.loads(sys.argv[1])
from mavelin.core import _shards
from mavelin.utils.sign_folder import sign_folder
_shards.SHARD_BYTES = args["shard_bytes"]
kwargs = {"jobs": args["jobs"]}
if args["scheduler"]:
    import distributed  # imported before the mark, as the client's own floor
    kwargs["scheduler"] = args["scheduler"]
with open("/proc/self/statm") as f:  # resident now: the import's passing peaks left out
    before = int(f.read().split()[1]) * resource.getpagesize()
def cpu():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime
cpu_start, start_clock, start = cpu(), time.time(), time.perf_counter()
sign_folder(args["top"], "silent", **kwargs)
wall = time.perf_counter() - start
with open("/proc/self/status") as f:  # VmHWM: ru_maxrss would count the parent's pages too
    after = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmHWM:"))
print(json.dumps({"wall": wall, "start": start_clock, "end": time.time(),
                  "cpu_start": cpu_start, "cpu_end": cpu(),
                  "rss_before": before, "rss_after": after}))
"""


class TaskClock(SchedulerPlugin):
    """Counts the fingerprint tasks that finish and stamps, in wall time and in the caller's processor
    time, the first one's arrival and the last one's result."""

    def __init__(self):
        self.lock = threading.Lock()
        self.reset(None)

    def reset(self, pid):
        with self.lock:
            self.pid, self.done, self.first, self.last = pid, 0, None, None
            self.first_cpu = self.last_cpu = None

    def caller_cpu(self):
        """Processor seconds (user and system) of the caller so far."""
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def transition(self, key, start, finish, *args, **kwargs):
        # A task arrives as "waiting"; the keys of an earlier run that are let go are no arrival.
        if key_split(key) not in TASKS or self.pid is None or finish not in ("waiting", "memory"):
            return
        try:
            now, cpu = time.time(), self.caller_cpu()
        except OSError:  # the caller has ended
            return
        with self.lock:
            if self.first is None and finish == "waiting":
                self.first, self.first_cpu = now, cpu
            if finish == "memory":
                self.done += 1
                self.last, self.last_cpu = now, cpu


def payload(top):
    with zipfile.ZipFile(os.path.join(top, CERT)) as zf:
        return zf.read("Certificate.pk")


def run_child(args, top, scheduler, clock=None):
    shutil.rmtree(os.path.join(top, CERTIFICATES), ignore_errors=True)
    spec = {"top": top, "scheduler": scheduler, "jobs": 1 if scheduler else args.workers,
            "shard_bytes": int(args.shard_mib * (1 << 20))}
    proc = subprocess.Popen([args.python, "-c", CHILD, json.dumps(spec)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    if clock:
        clock.reset(proc.pid)
    out, err = proc.communicate()
    if proc.returncode != 0:
        raise RuntimeError(f"signing failed ({proc.returncode}): {err[-2000:]}")
    r = json.loads(out.strip().splitlines()[-1])
    if clock:
        clock.pid = None
        r.update(tasks=clock.done, walk=clock.first - r["start"], hashing=clock.last - clock.first,
                 tail=r["end"] - clock.last, walk_cpu=clock.first_cpu - r["cpu_start"],
                 fill_cpu=clock.last_cpu - clock.first_cpu, tail_cpu=r["cpu_end"] - clock.last_cpu)
    return r


def empty_task_seconds(client, count):
    """Seconds per task of `count` empty shards, submitted and gathered at once."""
    start = time.perf_counter()
    futures = [client.submit(_shards.fingerprint_shard, "/", [], 2048, 4, 1, pure=False)
               for _ in range(count)]
    client.gather(futures)
    return (time.perf_counter() - start) / count


def the_tree(args):
    """(top, data bytes, generated here) of the tree to sign."""
    name = f"files-{args.files}-{args.min_size}-{args.max_size}"
    if args.keep:
        top = os.path.join(args.keep, name)
        try:
            with open(top + ".bytes") as f:
                return top, int(f.read()), False
        except (OSError, ValueError):
            shutil.rmtree(top, ignore_errors=True)  # never completed
    top = tempfile.mkdtemp(prefix="mavelin-cluster-", dir=args.keep or args.tmp)
    t0 = time.perf_counter()
    data_bytes = make_tree(top, args.files, args.min_size, args.max_size)
    print(f"generated in {time.perf_counter() - t0:.1f} s")
    if args.keep:
        os.rename(top, os.path.join(args.keep, name))
        top = os.path.join(args.keep, name)
        with open(top + ".bytes", "w") as f:  # beside the tree, so it is no file of it
            f.write(str(data_bytes))
    return top, data_bytes, not args.keep


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=1_000_000)
    parser.add_argument("--min-size", type=int, default=512)
    parser.add_argument("--max-size", type=int, default=4096)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--shard-mib", type=float, default=_shards.SHARD_BYTES / (1 << 20))
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--tmp", default=tempfile.gettempdir(), help="where the tree is generated")
    parser.add_argument("--keep", help="generate the tree once in this folder and reuse it")
    parser.add_argument("--python", default=sys.executable, help="interpreter with mavelin installed")
    args = parser.parse_args()
    print(f"{time.strftime('%Y-%m-%d %H:%M')}, {os.cpu_count()} processors, "
          f"load average {os.getloadavg()[0]:.1f}")
    top, data_bytes, generated = the_tree(args)
    n = args.files
    print(f"tree: {n:,} files, {data_bytes / 1e6:,.0f} MB ({top})")
    logging.disable(logging.CRITICAL)
    cluster = distributed.LocalCluster(n_workers=args.workers, processes=True, threads_per_worker=1,
                                       dashboard_address=None)
    clock = TaskClock()
    cluster.scheduler.add_plugin(clock, name="bench-task-clock")
    client = distributed.Client(cluster)
    try:
        empty_task_seconds(client, 20)  # the workers import the module once
        per_empty = empty_task_seconds(client, 500)
        subprocess.run(f"find {shlex.quote(top)} -type f -print0 | xargs -0 cat > /dev/null", shell=True, check=True)
        runs = {"local": [], "cluster": []}
        expected = None
        for _ in range(args.repeat):  # in turn, so that a drifting load slows both alike
            runs["local"].append(run_child(args, top, None))
            expected = expected or payload(top)
            if payload(top) != expected:
                raise SystemExit("two local runs wrote different certificates")
            r = run_child(args, top, cluster.scheduler_address, clock)
            runs["cluster"].append(r)
            print("  round: " + ", ".join(f"{k} {v:.2f}" for k, v in r.items()
                                          if k in ("wall", "walk", "hashing", "tail")),
                  f"(local {runs['local'][-1]['wall']:.2f})")
            if payload(top) != expected:
                raise SystemExit("the cluster's certificate differs from the local one")
    finally:
        client.close()
        cluster.close()
        if generated:
            shutil.rmtree(top, ignore_errors=True)
        elif args.keep:
            shutil.rmtree(os.path.join(top, CERTIFICATES), ignore_errors=True)

    def med(name, field):
        return statistics.median(r[field] for r in runs[name])

    print("payloads equal; medians of", args.repeat, "rounds:")
    for name in ("local", "cluster"):
        wall, before, after = med(name, "wall"), med(name, "rss_before"), med(name, "rss_after")
        print(f"  {name:<8} {wall:8.2f} s {n / wall:10,.0f} files/s   caller peak RSS "
              f"{after / 2**20:7.1f} MiB ({before / 2**20:.1f} before signing; "
              f"{(after - before) / n:6.0f} B/file)")
    local, wall = med("local", "wall"), med("cluster", "wall")
    tasks = med("cluster", "tasks")
    walk, hashing, tail = med("cluster", "walk"), med("cluster", "hashing"), med("cluster", "tail")
    walk_cpu, fill_cpu, tail_cpu = (med("cluster", k) for k in ("walk_cpu", "fill_cpu", "tail_cpu"))
    print(f"  cluster / local wall: {wall / local:.2f}")
    print(f"  cluster run: walk and planning {walk:.2f} s ({n / walk:,.0f} files/s), "
          f"{tasks:.0f} tasks {hashing:.2f} s ({n / hashing:,.0f} files/s, rows into the table as "
          f"they come), after the last task {tail:.2f} s ({n / tail:,.0f} files/s: table finished, "
          f"payload written)")
    print(f"  caller processor time: walk and planning {walk_cpu:.2f} s, during the tasks {fill_cpu:.2f} s "
          f"({fill_cpu / n * 1e6:.2f} us per file: submitting, taking the results, filling the table), "
          f"after the last task {tail_cpu:.2f} s")
    print(f"  per worker: {n / hashing / args.workers:,.0f} files/s of the task span")
    print(f"  per task: {(wall - local) / tasks * 1e3:.1f} ms beyond the local run "
          f"((cluster - local) / tasks); {per_empty * 1e3:.2f} ms per empty task "
          f"(500 submitted at once)")


if __name__ == "__main__":
    main()
