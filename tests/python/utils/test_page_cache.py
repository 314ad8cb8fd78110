# What a run leaves in the page cache (default, --keep-cache, --direct), measured with mmap and
# mincore, and direct reads where the file system refuses them.
import ctypes
import ctypes.util
import mmap
import os
import shutil
import tempfile
import zipfile
from pathlib import Path

import pytest

from support import run_cli

WORKTREE = Path(__file__).resolve().parents[3]
PAGE = mmap.PAGESIZE

_libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
_libc.mmap.restype = ctypes.c_void_p
_libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                       ctypes.c_long]
_libc.mincore.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
_libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]


def resident_pages(path):
    """Pages of the file in the page cache (mincore on a shared read-only mapping)."""
    size = os.path.getsize(path)
    if size == 0:
        return 0
    fd = os.open(path, os.O_RDONLY)
    try:
        addr = _libc.mmap(None, size, mmap.PROT_READ, mmap.MAP_SHARED, fd, 0)
        assert addr not in (None, ctypes.c_void_p(-1).value), os.strerror(ctypes.get_errno())
        try:
            vec = (ctypes.c_ubyte * ((size + PAGE - 1) // PAGE))()
            assert _libc.mincore(addr, size, vec) == 0, os.strerror(ctypes.get_errno())
            return sum(b & 1 for b in vec)
        finally:
            _libc.munmap(addr, size)
    finally:
        os.close(fd)


def pages(path):
    return (os.path.getsize(path) + PAGE - 1) // PAGE


def fs_type(path):
    best, kind = "", None
    with open("/proc/self/mounts") as mounts:
        for line in mounts:
            _, point, fstype = line.split()[:3]
            if (str(path) + "/").startswith(point.rstrip("/") + "/") and len(point) >= len(best):
                best, kind = point, fstype
    return kind


@pytest.fixture
def disk_dir(tmp_path):
    """A folder on a real disk: tmp_path, or one below the worktree's build/ when /tmp is tmpfs."""
    if fs_type(tmp_path.resolve()) not in ("tmpfs", "ramfs"):
        yield tmp_path
        return
    base = WORKTREE / "build" / "page_cache_tests"
    base.mkdir(parents=True, exist_ok=True)
    d = Path(tempfile.mkdtemp(dir=base))
    yield d
    shutil.rmtree(d, ignore_errors=True)


def cold_file(path, data):
    with open(path, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
        os.posix_fadvise(f.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)


def payload(archive):
    with zipfile.ZipFile(archive) as zf:
        return zf.read("Certificate.pk")


@pytest.mark.parametrize("flags, tree_cached", [
    ((), False),
    (("--keep-cache",), True),
    (("--direct", "--keep-cache"), False),  # direct reads bypass the cache: nothing is added
])
def test_pages_left_in_the_cache_by_a_run(disk_dir, flags, tree_cached):
    warm = disk_dir / "warm.bin"
    warm.write_bytes(os.urandom(64 << 20))
    with open(warm, "rb") as f:
        while f.read(1 << 20):
            pass
    if resident_pages(warm) != pages(warm):
        pytest.skip("the page cache does not hold a 64 MiB file here")
    top = disk_dir / "tree"
    (top / "sub").mkdir(parents=True)
    # Small files read whole, a file of several ranges split across threads, an odd tail.
    files = [top / "sub" / f"f{i}" for i in range(30)] + [top / "big.bin", top / "mid.bin"]
    for i, p in enumerate(files[:30]):
        cold_file(p, os.urandom(i * 977 + 1))
    cold_file(files[30], os.urandom((40 << 20) + 123))
    cold_file(files[31], os.urandom((300 << 10) + 5))
    # Part of the large file was cached before (8 MiB in its middle, read without readahead).
    fd = os.open(files[30], os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_RANDOM)
        os.pread(fd, 8 << 20, 8 << 20)
    finally:
        os.close(fd)
    # The kernel may add a few pages around a read (readahead at its edges), and reclaim may take
    # a few cached ones while the run goes on: a little slack either way. A wrong drop by the run
    # takes whole 2 MiB blocks or the whole file, far more than this.
    slack = 64
    before = sum(resident_pages(p) for p in files)
    assert (8 << 20) // PAGE - slack <= before <= (8 << 20) // PAGE + slack

    cert = disk_dir / "out.korvex"
    signed = run_cli("sign_folder", "-p", str(top), "-o", str(cert), "-j", "2", *flags)
    assert signed.returncode == 0, signed.stdout + signed.stderr
    checked = run_cli("validate_certificate", "-p", str(top), "-c", str(cert), "-j", "2", *flags)
    assert checked.returncode == 0, checked.stdout + checked.stderr

    assert resident_pages(warm) >= pages(warm) - slack
    tree_pages = sum(resident_pages(p) for p in files)
    if tree_cached:
        assert sum(pages(p) for p in files) - slack <= tree_pages <= sum(pages(p) for p in files)
    else:
        assert before - slack <= tree_pages <= before + slack
    # Every way of reading gives the same certificate.
    plain = disk_dir / "plain.korvex"
    assert run_cli("sign_folder", "-p", str(top), "-o", str(plain), "--keep-cache").returncode == 0
    assert payload(cert) == payload(plain)


def test_direct_reads_refused_by_the_file_system_are_named_once(tmp_path):
    # procfs refuses O_DIRECT; its files are read as usual.
    top = "/proc/sys/kernel/random"
    if not os.path.isdir(top):
        pytest.skip("no /proc/sys/kernel/random")
    r = run_cli("sign_folder", "-p", top, "-o", str(tmp_path / "c.korvex"), "--direct")
    assert r.returncode == 0, r.stdout + r.stderr
    refused = [m for level, _, m in r.triples() if "Direct I/O is refused" in m]
    assert refused == ["Direct I/O is refused by the file system here: files were read through "
                       "the page cache."]
    assert [level for level, _, m in r.triples() if "Direct I/O" in m] == ["INFO"]
