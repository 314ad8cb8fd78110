# Shard fingerprints: whole files and chunk ranges below a root, packed as binary digests.
import errno
import os
import hashlib
import random
import struct

import pytest

from mavelin.core import _shards
from oracles import chunk_digests_of_bytes, fingerprint_of_bytes
from support import run_python

CHUNK, STEP = 2048, 4


def unpack(result, lengths):
    """[(errno, size, [hex digest, ...])] per entry, `lengths` digests each."""
    digests, errors, sizes, blind = result
    assert blind in (None, (0, f"{os.uname().nodename} (pid {os.getpid()})"))
    assert len(digests) == 32 * sum(lengths)
    codes = struct.unpack(f"={len(lengths)}i", errors)
    measured = struct.unpack(f"={len(lengths)}Q", sizes)
    out, at = [], 0
    for code, size, n in zip(codes, measured, lengths):
        out.append((code, size, [digests[at + 32 * k:at + 32 * (k + 1)].hex() for k in range(n)]))
        at += 32 * n
    return out


@pytest.fixture
def tree(tmp_path):
    rng = random.Random(7)
    files = {"a.bin": rng.randbytes(5000), "empty": b"", "sub/odd name \u00e9.txt": b"x" * 2048,
             "big.bin": rng.randbytes(CHUNK * 37 + 11)}
    for rel, data in files.items():
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_bytes(data)
    (tmp_path / "folder").mkdir()
    return tmp_path, files


def test_whole_files_and_ranges_rebuild_the_local_fingerprints(tree):
    root, files = tree
    big = files["big.bin"]
    n = _shards.chunk_count(len(big), CHUNK)
    assert n == 38
    # The big file cut into three ranges, interleaved with whole files, one shard after another.
    entries = ["a.bin", ("big.bin", 0, 10), "empty", ("big.bin", 10, 27), "sub/odd name \u00e9.txt",
               ("big.bin", 37, 1)]
    lengths = [STEP, 10, STEP, 27, STEP, 1]
    got = unpack(_shards.fingerprint_shard(str(root), entries, CHUNK, STEP, 2), lengths)
    assert [code for code, _, _ in got] == [0] * 6
    assert [size for _, size, _ in got] == [5000, len(big), 0, len(big), 2048, len(big)]
    for (code, size, rows), rel in zip([got[0], got[2], got[4]], ["a.bin", "empty",
                                                                   "sub/odd name \u00e9.txt"]):
        assert [[r] for r in rows] == fingerprint_of_bytes(files[rel], CHUNK, STEP)
    chunks = got[1][2] + got[3][2] + got[5][2]
    assert chunks == chunk_digests_of_bytes(big, CHUNK)
    rows = _shards.reduce_rows(b"".join(bytes.fromhex(c) for c in chunks), STEP)
    assert [[rows[32 * s:32 * (s + 1)].hex()] for s in range(STEP)] == \
        fingerprint_of_bytes(big, CHUNK, STEP)


def test_rows_reduce_in_pieces_equal_to_one_pass():
    digests = b"".join(hashlib.sha256(bytes([i])).digest() for i in range(9))
    assert _shards.reduce_rows(digests, 3) == b"".join(
        hashlib.sha256("".join(digests[32 * k:32 * (k + 1)].hex()
                               for k in range(s, 9, 3)).encode()).digest() for s in range(3))
    assert _shards.reduce_rows(b"", 2) == hashlib.sha256(b"").digest() * 2
    with pytest.raises(ValueError):
        _shards.reduce_rows(b"x" * 33, 2)


def test_failures_are_per_entry_and_leave_zeroed_digests(tree):
    root, files = tree
    entries = ["missing", ("missing", 0, 2), "folder", "a.bin", ("a.bin", 1, 2)]
    got = unpack(_shards.fingerprint_shard(str(root), entries, CHUNK, STEP, 1), [STEP, 2, STEP,
                                                                                   STEP, 2])
    assert [code for code, _, _ in got] == [errno.ENOENT, errno.ENOENT, errno.EISDIR, 0, 0]
    assert got[0][2] == ["00" * 32] * STEP and got[1][2] == ["00" * 32] * 2
    assert got[4][2] == chunk_digests_of_bytes(files["a.bin"], CHUNK)[1:3]
    # A root this machine cannot see fails every entry and says where it ran.
    digests, errors, sizes, blind = _shards.fingerprint_shard(
        str(root / "nowhere"), ["a.bin", ("a.bin", 0, 1)], CHUNK, STEP, 1)
    assert struct.unpack("=2i", errors) == (errno.ENOENT, errno.ENOENT)
    assert blind == (errno.ENOENT, f"{os.uname().nodename} (pid {os.getpid()})")


def test_malformed_entries_are_refused(tree):
    root, _ = tree
    for entries in ([("a.bin", 0)], [("a.bin", 0, 1, 2, 3)], [("a.bin", 0, 0)],
                    [("a.bin", -1, 1)], [3]):
        with pytest.raises((ValueError, TypeError, OverflowError)):
            _shards.fingerprint_shard(str(root), entries, CHUNK, STEP, 1)
    with pytest.raises(ValueError):
        _shards.fingerprint_shard(str(root), ["a.bin"], 0, STEP, 1)


def test_plain_use_of_the_package_never_imports_dask(tmp_path):
    (tmp_path / "f").write_bytes(b"data")
    r = run_python("""
import logging, sys
import mavelin
from mavelin.utils.sign_folder import sign_folder
from mavelin.utils.validate_certificate import validate_certificate
from mavelin.core import _shards
logging.disable(logging.CRITICAL)
sign_folder(sys.argv[1])
validate_certificate(sys.argv[1], None)
_shards.fingerprint_shard(sys.argv[1], ["f"], 2048, 4, 1)
print(sorted(n for n in sys.modules if n.split(".")[0] in ("dask", "distributed")))
""", str(tmp_path))
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "[]"
