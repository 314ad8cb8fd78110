# Stand-ins for the tasks of a cluster run, for tests: they act on the worker, then walk or fingerprint.
import ctypes
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


def slow(seconds, task, *args):
    """A task (function `task`) that takes at least `seconds` longer."""
    time.sleep(seconds)
    return getattr(_shards, task)(*args)


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


class _CapHeader(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("pid", ctypes.c_int)]


class _CapData(ctypes.Structure):
    _fields_ = [("effective", ctypes.c_uint32), ("permitted", ctypes.c_uint32),
                ("inheritable", ctypes.c_uint32)]


def dac_override(on):
    """Turns CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH of the calling thread (and the threads it
    starts) off or back on, so that file permissions apply to root too."""
    libc = ctypes.CDLL(None, use_errno=True)
    header, data = _CapHeader(0x20080522, 0), (_CapData * 2)()
    if libc.capget(ctypes.byref(header), data) != 0:
        raise OSError(ctypes.get_errno(), "capget")
    mask = (1 << 1) | (1 << 2)
    data[0].effective = data[0].effective | mask if on else data[0].effective & ~mask
    if libc.capset(ctypes.byref(header), data) != 0:
        raise OSError(ctypes.get_errno(), "capset")


def without_dac(task, *args):
    """The task `task` with file permissions applying to it."""
    dac_override(False)
    try:
        return getattr(_shards, task)(*args)
    finally:
        dac_override(True)
