# Stand-ins for the shard task of a cluster run, for tests: they act on the worker, then fingerprint.
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
