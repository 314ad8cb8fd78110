# _generate_hash against hashlib on both SHA-256 implementations, and the hash object it returns.
import hashlib
import random
import subprocess

import pytest

from mavelin.core import hashing
from mavelin.core.hashing import _generate_hash
from support import SHA256_PATHS, cpu_flags, run_python

RNG = random.Random(20240607)
DATA_1100 = RNG.randbytes(1100)

KNOWN_ANSWERS = [
    (b"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"),
    (b"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
    (b"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"),
    (b"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"),
    (b"a" * 1_000_000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"),
]


# --- implementation switch -------------------------------------------------------------------------

def test_portable_and_every_path_the_cpu_offers_are_available():
    names = hashing._implementations()
    assert isinstance(names, list) and set(names) <= set(SHA256_PATHS)
    assert "portable" in names
    if "sha_ni" in cpu_flags():
        assert "sha-ni" in names
    if {"avx512f", "avx512vl", "avx512bw"} <= set(cpu_flags()):
        assert "avx512" in names


def test_force_implementation_returns_the_previous_one():
    original = hashing._force_implementation("portable")
    try:
        assert original in hashing._implementations()
        assert hashing._force_implementation("portable") == "portable"
        for name in hashing._implementations():
            hashing._force_implementation(name)
            assert hashing._force_implementation(name) == name
    finally:
        hashing._force_implementation(original)


def test_force_implementation_refuses_unknown_names_and_changes_nothing():
    current = hashing._force_implementation("portable")
    try:
        with pytest.raises((ValueError, LookupError)):
            hashing._force_implementation("no-such-path")
        assert hashing._force_implementation("portable") == "portable"
    finally:
        hashing._force_implementation(current)


# --- digests -----------------------------------------------------------------------------------

def test_every_length_up_to_1100_matches_hashlib(sha256_path):
    wrong = [n for n in range(len(DATA_1100) + 1)
             if _generate_hash(DATA_1100[:n]).hexdigest() != hashlib.sha256(DATA_1100[:n]).hexdigest()]
    assert wrong == []


@pytest.mark.parametrize("data, digest", KNOWN_ANSWERS, ids=lambda v: str(len(v)) if isinstance(v, bytes) else None)
def test_published_vectors(sha256_path, data, digest):
    assert _generate_hash(data).hexdigest() == digest


@pytest.mark.parametrize("size", [1 << 20, (8 << 20) + 13, (32 << 20) - 1])
def test_large_random_input_matches_hashlib(sha256_path, size):
    data = random.Random(size).randbytes(size)
    assert _generate_hash(data).hexdigest() == hashlib.sha256(data).hexdigest()


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview])
def test_accepts_bytes_like_objects(kind):
    data = DATA_1100[:777]
    assert _generate_hash(kind(data)).digest() == hashlib.sha256(data).digest()


@pytest.mark.parametrize("bad", ["text", None, 5, [1, 2]])
def test_rejects_what_is_not_bytes(bad):
    with pytest.raises(TypeError):
        _generate_hash(bad)


# --- the hash object -------------------------------------------------------------------------------

def test_hash_object_attributes():
    h = _generate_hash(b"abc")
    ref = hashlib.sha256(b"abc")
    assert (h.name, h.digest_size, h.block_size) == (ref.name, ref.digest_size, ref.block_size)
    assert isinstance(h.digest(), bytes) and h.digest() == ref.digest()
    assert isinstance(h.hexdigest(), str) and h.hexdigest() == ref.hexdigest()


def test_update_at_every_split_point(sha256_path):
    data = DATA_1100[:300]
    expected = hashlib.sha256(data).hexdigest()
    for cut in range(len(data) + 1):
        h = _generate_hash(data[:cut])
        assert h.update(data[cut:]) is None
        assert h.hexdigest() == expected, cut


def test_many_small_and_block_straddling_updates(sha256_path):
    h = _generate_hash(b"")
    ref = hashlib.sha256()
    for size in [1] * 70 + [63, 64, 65, 127, 128, 129, 0, 4097, 1, 100_000, 55, 56, 57]:
        piece = RNG.randbytes(size)
        h.update(piece)
        ref.update(piece)
        assert h.hexdigest() == ref.hexdigest()


def test_digest_does_not_finish_the_object():
    h = _generate_hash(b"abc")
    h.digest()
    h.hexdigest()
    h.update(b"def")
    assert h.hexdigest() == hashlib.sha256(b"abcdef").hexdigest()


def test_copy_continues_independently():
    h = _generate_hash(DATA_1100[:100])
    c = h.copy()
    assert type(c) is type(h) and c is not h
    c.update(b"more")
    assert h.hexdigest() == hashlib.sha256(DATA_1100[:100]).hexdigest()
    assert c.hexdigest() == hashlib.sha256(DATA_1100[:100] + b"more").hexdigest()
    h.update(b"other")
    assert c.hexdigest() == hashlib.sha256(DATA_1100[:100] + b"more").hexdigest()


def test_calls_share_no_state():
    a = _generate_hash(b"same")
    b = _generate_hash(b"same")
    a.update(b"!")
    assert b.hexdigest() == hashlib.sha256(b"same").hexdigest()
    assert _generate_hash(b"same").hexdigest() == b.hexdigest()


# --- sharing one object between threads; the type itself -------------------------------------------

SHARED_OBJECT_RUN = r"""
import hashlib, sys, threading
from mavelin.core.hashing import _generate_hash

big = bytes(range(256)) * (64 * 1024 * 1024 // 256)   # 64 MiB: hashed without the GIL
h = _generate_hash(b"start")
done = threading.Event()

def feed():
    for _ in range(3):
        h.update(big)
    done.set()

t = threading.Thread(target=feed)
t.start()
reads = 0
while not done.is_set():          # every reader takes the object's lock holding the GIL
    h.hexdigest(); h.digest(); h.copy().update(b"x"); h.update(b"")
    reads += 1
t.join()
ref = hashlib.sha256(b"start" + big * 3)
print(h.hexdigest() == ref.hexdigest(), reads > 0)
"""


def test_one_object_hashing_64_mib_in_a_thread_while_another_reads_it_never_hangs():
    # A hang is caught by the child's time limit, not by timing anything in the test.
    try:
        r = run_python(SHARED_OBJECT_RUN, timeout=120)
    except subprocess.TimeoutExpired:
        pytest.fail("hexdigest()/digest()/copy() beside a large update() deadlocked")
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["True", "True"]


def test_the_hash_type_cannot_be_instantiated_like_hashlib_types():
    kind = type(_generate_hash(b""))
    with pytest.raises(TypeError, match="cannot create .* instances"):
        kind()
    with pytest.raises(TypeError):
        kind.__new__(kind)
    with pytest.raises(TypeError):  # hashlib refuses it the same way
        type(hashlib.sha256())()
    assert _generate_hash(b"abc").hexdigest() == hashlib.sha256(b"abc").hexdigest()
