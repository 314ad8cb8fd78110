# FileNodeHandler: chunk hash list and interleaved-row fingerprint against hashlib, attributes, failures, file lifetime.
import errno
import gc
import hashlib
import os
import random
import sys
import warnings

import pytest

from mavelin.core.models import FileNode
from mavelin.core.node_handling import FileNodeHandler
from oracles import (EMPTY_DIGEST, chunk_digests_of_bytes, chunk_digests_of_stream, fingerprint_of_bytes,
                     rows_of)
from support import open_fd_count, run_process, run_python

PREFIX = "_FileNodeHandler__"
CHUNK_SIZES = [1, 64, 2048, 4096]
STEPS = [-1, 0, 1, 2, 4, 7]


def run_handler(initial_path, file_path, *params):
    """The calling sequence of the fingerprint pass; returns (node, handler)."""
    node = FileNode(1, file_path)
    handler = FileNodeHandler(node, *params)
    assert handler._open_file(initial_path) is None
    assert handler._generate_hash_list() is None
    assert handler._generate_hash_fingerprint() is None
    assert handler._node is node
    return node, handler


def check_against_reference(node, handler, data, chunk_size, step):
    digests = chunk_digests_of_bytes(data, chunk_size)
    hash_list = getattr(handler, PREFIX + "hash_list")
    assert type(hash_list) is list and hash_list == digests
    fingerprint = node.get_fingerprint()
    assert type(fingerprint) is list and all(type(row) is list for row in fingerprint)
    assert fingerprint == rows_of(digests, step)
    assert len(fingerprint) == max(step, 0)


def sizes_around(chunk_size):
    return sorted({0, 1, chunk_size - 1, chunk_size, chunk_size + 1, 5 * chunk_size,
                   7 * chunk_size + 3} - {-1})


# --- fingerprints ----------------------------------------------------------------------------------

@pytest.mark.parametrize("step", STEPS)
@pytest.mark.parametrize("chunk_size", CHUNK_SIZES)
def test_fingerprint_matches_hashlib_around_chunk_boundaries(tmp_path, chunk_size, step):
    rng = random.Random(chunk_size * 100 + step)
    for size in sizes_around(chunk_size):
        data = rng.randbytes(size)
        (tmp_path / "f.bin").write_bytes(data)
        node, handler = run_handler(str(tmp_path), "f.bin", chunk_size, step)
        check_against_reference(node, handler, data, chunk_size, step)


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    data = random.Random(7).randbytes(3 * 1024 * 1024 + 5)
    path = tmp_path_factory.mktemp("big") / "big.bin"
    path.write_bytes(data)
    return path, data


@pytest.mark.parametrize("step", [1, 2, 4, 7])
@pytest.mark.parametrize("chunk_size", [64, 2048, 4096, 1 << 20])
def test_fingerprint_of_a_multi_megabyte_file(big_file, chunk_size, step):
    path, data = big_file
    node, handler = run_handler(str(path.parent), path.name, chunk_size, step)
    check_against_reference(node, handler, data, chunk_size, step)


def test_fingerprint_with_one_byte_chunks(tmp_path):
    data = random.Random(1).randbytes(70_001)
    (tmp_path / "f").write_bytes(data)
    node, handler = run_handler(str(tmp_path), "f", 1, 4)
    check_against_reference(node, handler, data, 1, 4)


@pytest.mark.parametrize("chunk_size, step", [(2048, 4), (64, 3), (4096, 1)])
def test_both_sha256_paths_give_the_same_fingerprints(big_file, sha256_path, chunk_size, step):
    path, data = big_file
    node, handler = run_handler(str(path.parent), path.name, chunk_size, step)
    check_against_reference(node, handler, data, chunk_size, step)


def test_small_file_example(tmp_path):
    (tmp_path / "abc").write_bytes(b"abc")
    node, _ = run_handler(str(tmp_path), "abc", 2048, 4)
    h = hashlib.sha256(b"abc").hexdigest()
    assert node.get_fingerprint() == [[hashlib.sha256(h.encode()).hexdigest()]] + [[EMPTY_DIGEST]] * 3


@pytest.mark.parametrize("chunk_size", [-1, -2048])
def test_negative_chunk_size_reads_nothing(tmp_path, chunk_size):
    (tmp_path / "f").write_bytes(b"x" * 5000)
    node, handler = run_handler(str(tmp_path), "f", chunk_size, 4)
    assert getattr(handler, PREFIX + "hash_list") == []
    assert node.get_fingerprint() == [[EMPTY_DIGEST]] * 4


def test_defaults_are_4096_and_2(tmp_path):
    data = random.Random(3).randbytes(4096 * 3 + 1)
    (tmp_path / "f").write_bytes(data)
    node, handler = run_handler(str(tmp_path), "f")
    check_against_reference(node, handler, data, 4096, 2)


# --- attributes and state ------------------------------------------------------------------------

def test_constructor_stores_its_arguments_unchanged():
    node = FileNode(1, "x")
    h = FileNodeHandler(node)
    assert h._node is node and h._chunk_size == 4096 and getattr(h, PREFIX + "transformation_step") == 2
    assert getattr(h, PREFIX + "hash_list") == [] and type(getattr(h, PREFIX + "hash_list")) is list
    assert not hasattr(h, PREFIX + "file") and not hasattr(h, PREFIX + "file_size")
    h = FileNodeHandler(node, chunk_size=64, transformation_step=3)
    assert (h._chunk_size, getattr(h, PREFIX + "transformation_step")) == (64, 3)
    odd, other = object(), object()
    h = FileNodeHandler(odd, other, None)  # nothing is validated
    assert h._node is odd and h._chunk_size is other and getattr(h, PREFIX + "transformation_step") is None


def test_open_measures_the_file_and_keeps_it_open(tmp_path):
    (tmp_path / "f").write_bytes(b"12345")
    h = FileNodeHandler(FileNode(1, "f"), 2, 2)
    before = open_fd_count()
    h._open_file(str(tmp_path))
    assert getattr(h, PREFIX + "file_size") == 5
    assert getattr(h, PREFIX + "file") is not None
    assert open_fd_count() == before + 1
    assert getattr(h, PREFIX + "hash_list") == []  # nothing read yet


@pytest.mark.parametrize("initial, file_path", [
    ("{d}", "sub/f"),
    ("{d}/", "sub/f"),
    ("{d}/sub/..", "sub/f"),
    ("/nonexistent", "{d}/sub/f"),          # an absolute node path replaces the initial path
    ("", "sub/f"),                           # relative to the working directory
])
def test_path_joining(tmp_path, monkeypatch, initial, file_path):
    (tmp_path / "sub").mkdir()
    data = b"q" * 3000
    (tmp_path / "sub" / "f").write_bytes(data)
    monkeypatch.chdir(tmp_path)
    node, _ = run_handler(initial.format(d=tmp_path), file_path.format(d=tmp_path), 2048, 4)
    assert node.get_fingerprint() == fingerprint_of_bytes(data, 2048, 4)


def test_path_objects_are_accepted(tmp_path):
    from pathlib import Path, PurePosixPath
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "f").write_bytes(b"path")
    node, _ = run_handler(Path(tmp_path), PurePosixPath("sub/f"), 2048, 4)
    assert node.get_fingerprint() == fingerprint_of_bytes(b"path", 2048, 4)


def test_a_link_to_a_file_is_fingerprinted_as_its_target(tmp_path):
    data = random.Random(5).randbytes(10_000)
    (tmp_path / "target").write_bytes(data)
    os.symlink("target", tmp_path / "link")
    node, handler = run_handler(str(tmp_path), "link", 2048, 4)
    assert getattr(handler, PREFIX + "file_size") == len(data)
    check_against_reference(node, handler, data, 2048, 4)


def test_hash_fingerprint_before_hash_list_uses_the_empty_list():
    node = FileNode(1, "never-opened")
    h = FileNodeHandler(node, 2048, 3)
    h._generate_hash_fingerprint()
    assert node.get_fingerprint() == [[EMPTY_DIGEST]] * 3


def test_hash_list_before_open_fails_for_want_of_the_size():
    h = FileNodeHandler(FileNode(1, "x"), 2048, 4)
    with pytest.raises(AttributeError):
        h._generate_hash_list()


def test_a_second_hash_list_pass_appends_reads_past_the_end(tmp_path):
    data = b"z" * 5000
    (tmp_path / "f").write_bytes(data)
    h = FileNodeHandler(FileNode(1, "f"), 2048, 4)
    h._open_file(str(tmp_path))
    h._generate_hash_list()
    h._generate_hash_list()
    assert getattr(h, PREFIX + "hash_list") == chunk_digests_of_bytes(data, 2048) + [EMPTY_DIGEST] * 3


# --- files that change after opening -------------------------------------------------------------

@pytest.mark.parametrize("initial_size, new_size", [
    (5 * 2048 + 100, 8 * 2048 + 7),   # grows
    (5 * 2048, 6 * 2048),             # grows from a whole number of chunks
    (5 * 2048 + 100, 2 * 2048 + 7),   # shrinks
    (5 * 2048 + 100, 0),              # emptied
])
def test_the_chunk_count_is_fixed_when_the_file_is_opened(tmp_path, initial_size, new_size):
    rng = random.Random(initial_size + new_size)
    path = tmp_path / "f"
    path.write_bytes(rng.randbytes(initial_size))
    node = FileNode(1, "f")
    h = FileNodeHandler(node, 2048, 4)
    h._open_file(str(tmp_path))
    if new_size > initial_size:
        with open(path, "ab") as f:
            f.write(rng.randbytes(new_size - initial_size))
    else:
        os.truncate(path, new_size)
    h._generate_hash_list()
    h._generate_hash_fingerprint()
    with open(path, "rb") as f:
        expected = chunk_digests_of_stream(f, initial_size, 2048)
    assert getattr(h, PREFIX + "hash_list") == expected
    assert node.get_fingerprint() == rows_of(expected, 4)


# --- failures ----------------------------------------------------------------------------------

@pytest.mark.parametrize("make, exc, code", [
    (lambda d: None, FileNotFoundError, errno.ENOENT),
    (lambda d: (d / "f").mkdir(), IsADirectoryError, errno.EISDIR),
    (lambda d: os.symlink("missing", d / "f"), FileNotFoundError, errno.ENOENT),
    (lambda d: os.symlink("f", d / "f"), OSError, errno.ELOOP),
], ids=["missing", "directory", "dangling-link", "link-loop"])
def test_open_failures_carry_errno_and_filename(tmp_path, make, exc, code):
    make(tmp_path)
    h = FileNodeHandler(FileNode(1, "f"), 2048, 4)
    before = open_fd_count()
    with pytest.raises(exc) as info:
        h._open_file(str(tmp_path))
    assert info.value.errno == code
    assert info.value.filename == os.path.join(str(tmp_path), "f")
    assert not hasattr(h, PREFIX + "file") and not hasattr(h, PREFIX + "file_size")
    assert open_fd_count() == before


def test_a_linked_folder_on_the_way_is_refused_the_root_is_taken_as_named(tmp_path):
    # As the walk opens files: a folder below the root swapped for a link is never followed.
    (tmp_path / "outside").mkdir()
    (tmp_path / "outside" / "f").write_bytes(b"not in the tree")
    top = tmp_path / "tree"
    top.mkdir()
    os.symlink(tmp_path / "outside", top / "sub")
    h = FileNodeHandler(FileNode(1, "sub/f"), 2048, 4)
    with pytest.raises(OSError) as info:
        h._open_file(str(top))
    assert info.value.errno == errno.ELOOP
    assert info.value.filename == os.path.join(str(top), "sub/f")
    assert not hasattr(h, PREFIX + "file")
    os.symlink(top, tmp_path / "root-link")
    (top / "g").write_bytes(b"in the tree")
    node, _ = run_handler(str(tmp_path / "root-link"), "g", 2048, 4)
    assert node.get_fingerprint() == fingerprint_of_bytes(b"in the tree", 2048, 4)


def test_a_path_through_a_regular_file_is_not_a_directory(tmp_path):
    (tmp_path / "f").write_bytes(b"x")
    h = FileNodeHandler(FileNode(1, "f/g"), 2048, 4)
    with pytest.raises(NotADirectoryError) as info:
        h._open_file(str(tmp_path))
    assert info.value.errno == errno.ENOTDIR


def test_an_unreadable_file_is_a_permission_error(tmp_path, without_dac_override):
    (tmp_path / "f").write_bytes(b"secret")
    os.chmod(tmp_path / "f", 0)
    r = run_process([*without_dac_override, sys.executable, "-c", """
import sys
from mavelin.core.models import FileNode
from mavelin.core.node_handling import FileNodeHandler
try:
    FileNodeHandler(FileNode(1, "f"), 2048, 4)._open_file(sys.argv[1])
except PermissionError as e:
    print(e.errno, e.filename)
""", str(tmp_path)])
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == f"{errno.EACCES} {os.path.join(str(tmp_path), 'f')}\n"


@pytest.mark.parametrize("chunk_size, exc", [(0, ZeroDivisionError), (None, TypeError)])
def test_bad_chunk_size_fails_before_any_read(tmp_path, chunk_size, exc):
    (tmp_path / "f").write_bytes(b"data")
    h = FileNodeHandler(FileNode(1, "f"), chunk_size, 4)
    h._open_file(str(tmp_path))
    with pytest.raises(exc):
        h._generate_hash_list()
    assert getattr(h, PREFIX + "hash_list") == []


def test_absent_step_fails_before_the_fingerprint_is_stored(tmp_path):
    (tmp_path / "f").write_bytes(b"data")
    node = FileNode(1, "f")
    h = FileNodeHandler(node, 2048, None)
    h._open_file(str(tmp_path))
    h._generate_hash_list()
    with pytest.raises(TypeError):
        h._generate_hash_fingerprint()
    assert not hasattr(node, "_FileNode__hash_fingerprint")


# --- special files and the file's lifetime --------------------------------------------------------

def test_a_named_pipe_without_writer_does_not_block(tmp_path):
    os.mkfifo(tmp_path / "pipe")
    r = run_python("""
import sys
from mavelin.core.models import FileNode
from mavelin.core.node_handling import FileNodeHandler
node = FileNode(1, "pipe")
h = FileNodeHandler(node, 2048, 4)
h._open_file(sys.argv[1])
h._generate_hash_list()
h._generate_hash_fingerprint()
print(h._FileNodeHandler__file_size, h._FileNodeHandler__hash_list, node.get_fingerprint())
""", str(tmp_path), timeout=60)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == f"0 [] {[[EMPTY_DIGEST]] * 4}\n"


def test_releasing_the_handler_closes_the_file_without_warning(tmp_path):
    (tmp_path / "f").write_bytes(b"x" * 10_000)
    run_handler(str(tmp_path), "f", 2048, 4)  # warm-up: anything opened once per process
    gc.collect()
    before = open_fd_count()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for _ in range(3):
            node, handler = run_handler(str(tmp_path), "f", 2048, 4)
            assert open_fd_count() == before + 1
            del handler
            assert open_fd_count() == before
        for _ in range(2000):  # handlers dropped without any explicit clean-up
            h = FileNodeHandler(FileNode(1, "f"), 4096, 2)
            h._open_file(str(tmp_path))
        del h
        gc.collect()
    assert open_fd_count() == before
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []
