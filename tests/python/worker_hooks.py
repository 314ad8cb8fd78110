# Stand-ins for the tasks of a cluster run, for tests: they act on the worker, then walk or fingerprint.
import os
import time

from mavelin.core import _shards


def change_first(plan, *args):
    """Before any shard is read, the first task to run changes plan["path"] once (plan["how"]:
    grow, shrink, empty, remove); every task waits for that change before fingerprinting.
    The marks of that are kept in the folder plan["marks"]."""
    claim = os.path.join(plan["marks"], "claim")
    done = os.path.join(plan["marks"], "changed")
    try:
        os.close(os.open(claim, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
    except FileExistsError:
        while not os.path.exists(done):
            time.sleep(0.005)
    else:
        path, how = plan["path"], plan["how"]
        if how == "remove":
            os.remove(path)
        else:
            size = os.path.getsize(path)
            with open(path, "r+b") as f:
                if how == "grow":
                    f.seek(size)
                    f.write(os.urandom(100_000))
                else:
                    f.truncate(size // 2 if how == "shrink" else 0)
        os.close(os.open(done, os.O_CREAT | os.O_WRONLY))
    return _shards.fingerprint_shard(*args)


def slow(seconds, *args):
    """A shard that takes at least `seconds` longer."""
    time.sleep(seconds)
    return _shards.fingerprint_shard(*args)


def rewrite_each(plan, root, entries, *args):
    """Every task that reads plan["rel"] first rewrites it in place with as many other bytes and
    a later modification time: no two readers see the same version."""
    names = [e[0] if isinstance(e, tuple) else e for e in entries]
    if plan["rel"] in names:
        path = os.path.join(root, plan["rel"])
        st = os.stat(path)
        with open(path, "r+b") as f:
            f.write(os.urandom(st.st_size))
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1_000_000_000))
    return _shards.fingerprint_shard(root, entries, *args)


def other_root(seen, task, root, *args):
    """A worker that sees the tree at `seen` (another mount, a stale copy) where the client
    sees it at `root`, for the task function named `task`."""
    return getattr(_shards, task)(seen, *args)
