# FileManager's fingerprint pass: every node of a scanned table fingerprinted in place, all or none.
import os
import random

import pytest

from mavelin.core.file_managing import FileManager
from mavelin.core.models import FileNode
from oracles import EMPTY_DIGEST, fingerprint_of_bytes, fingerprint_of_file, table_rows
from support import TESTS_DIR, PipeRescue, run_python


def make_tree(root, sizes, seed=0):
    rng = random.Random(seed)
    contents = {}
    for i, size in enumerate(sizes):
        rel = f"d{i % 5}/f{i}.bin" if i % 3 else f"f{i}.bin"
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        data = rng.randbytes(size)
        path.write_bytes(data)
        contents[rel] = data
    return contents


def scanned(top, *params):
    manager = FileManager(str(top), *params)
    manager._parse_directory()
    return manager


SIZES = [0, 1, 2047, 2048, 2049, 4096, 10_000, 65_536, 3 * 2048 + 5] * 4


@pytest.mark.parametrize("params", [(2048, 4), (64, 3), (), (1, 1), (4096, 0), (2048, -2)])
def test_every_node_gets_the_reference_fingerprint_in_place(tmp_path, params):
    contents = make_tree(tmp_path, SIZES if params != (1, 1) else SIZES[:9])
    chunk_size, step = params or (4096, 2)
    manager = scanned(tmp_path, *params)
    before = dict(manager._file_nodes)
    assert manager._generate_fingerprints() is None
    assert table_rows(manager._file_nodes) == table_rows(before)
    for key, node in manager._file_nodes.items():
        assert type(node) is FileNode and node is not before[key] and node == before[key]
        assert node.get_fingerprint() == fingerprint_of_bytes(contents[node.file_path], chunk_size, step)
        assert not hasattr(before[key], "_FileNode__hash_fingerprint")


def test_large_files_among_small_ones(tmp_path, sha256_path):
    contents = make_tree(tmp_path, [40 * 1024 * 1024 + 1, 5, 9 * 1024 * 1024, 0, 2048 * 1000] + [300] * 200,
                         seed=1)
    manager = scanned(tmp_path, 2048, 4)
    manager._generate_fingerprints()
    for node in manager._file_nodes.values():
        assert node.get_fingerprint() == fingerprint_of_bytes(contents[node.file_path], 2048, 4)


def test_thousands_of_small_files(tmp_path):
    for i in range(3000):
        folder = tmp_path / f"g{i % 37}"
        folder.mkdir(exist_ok=True)
        (folder / f"{i}").write_bytes(str(i).encode() * (i % 50))
    manager = scanned(tmp_path, 2048, 4)
    manager._generate_fingerprints()
    assert manager.files_count == 3000
    for node in manager._file_nodes.values():
        assert node.get_fingerprint() == fingerprint_of_file(tmp_path / node.file_path), node.file_path


def test_a_named_pipe_is_fingerprinted_as_empty(tmp_path):
    make_tree(tmp_path, [100, 5000])
    os.mkfifo(tmp_path / "pipe")
    manager = scanned(tmp_path, 2048, 4)
    with PipeRescue([tmp_path / "pipe"]) as rescue:
        manager._generate_fingerprints()
    assert not rescue.fired, "opening the named pipe blocked"
    pipe, = [n for n in manager._file_nodes.values() if n.file_path == "pipe"]
    assert pipe.get_fingerprint() == [[EMPTY_DIGEST]] * 4


def test_an_empty_table_gives_no_work(tmp_path):
    manager = scanned(tmp_path, 2048, 4)
    manager._generate_fingerprints()
    assert manager._file_nodes == {}


def test_one_unreadable_file_leaves_every_node_without_fingerprint(tmp_path):
    make_tree(tmp_path, [10, 20_000, 0, 7])
    os.symlink("loop", tmp_path / "loop")
    manager = scanned(tmp_path, 2048, 4)
    before = dict(manager._file_nodes)
    try:
        manager._generate_fingerprints()
    except OSError:
        pass  # whether the pass reports the failure is the caller's concern; the table is not
    assert manager._file_nodes == before
    assert all(not hasattr(n, "_FileNode__hash_fingerprint") for n in manager._file_nodes.values())


def test_work_function_fingerprints_the_node_it_is_given(tmp_path):
    data = b"w" * 5000
    (tmp_path / "w").write_bytes(data)
    manager = FileManager(str(tmp_path), 64, 3)
    node = FileNode(1, "w")
    assert manager._generate_file_fingerprint(node) is node
    assert node.get_fingerprint() == fingerprint_of_bytes(data, 64, 3)


def test_completion_step_replaces_entries_by_id_and_appends_unknown_ids(tmp_path):
    make_tree(tmp_path, [1, 2, 3])
    manager = scanned(tmp_path)
    keys = list(manager._file_nodes)
    replacement = FileNode(2, "replaced")
    stranger = FileNode(99, "stranger")
    assert manager._store_updated_node([replacement, stranger]) is None
    assert list(manager._file_nodes) == keys + ["node_id_99"]
    assert manager._file_nodes["node_id_2"] is replacement
    assert manager._file_nodes["node_id_99"] is stranger


def test_passes_in_two_threads_at_once(tmp_path):
    import threading
    trees = [make_tree(tmp_path / name, [30_000, 5 * 1024 * 1024 + 3] + [700] * 300, seed=i)
             for i, name in enumerate(("one", "two"))]
    managers = [scanned(tmp_path / name, 2048, 4) for name in ("one", "two")]
    errors = []

    def work(manager):
        try:
            manager._generate_fingerprints()
        except BaseException as e:  # reported below, in the test's own thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(m,)) for m in managers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert errors == [] and not any(t.is_alive() for t in threads)
    for contents, manager in zip(trees, managers):
        for node in manager._file_nodes.values():
            assert node.get_fingerprint() == fingerprint_of_bytes(contents[node.file_path], 2048, 4)


def test_a_forked_child_can_run_a_pass_after_the_parent_did(tmp_path):
    make_tree(tmp_path, [9 * 1024 * 1024, 10, 5000] * 3)
    r = run_python(f"""
import os, sys
sys.path.insert(0, {TESTS_DIR!r})
from oracles import fingerprint_of_file
from mavelin.core.file_managing import FileManager

def pass_ok():
    m = FileManager(sys.argv[1], 2048, 4)
    m._parse_directory()
    m._generate_fingerprints()
    return all(n.get_fingerprint() == fingerprint_of_file(os.path.join(sys.argv[1], n.file_path))
               for n in m._file_nodes.values())

assert pass_ok()
pid = os.fork()
if pid == 0:
    os._exit(0 if pass_ok() else 3)
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status), pass_ok())
""", str(tmp_path), warnings_as_errors=False, timeout=120)
    assert (r.returncode, r.stderr, r.stdout) == (0, "", "0 True\n")


def test_interpreter_exit_during_a_pass_in_a_daemon_thread_is_clean(tmp_path):
    # Sparse files: seconds of hashing, no disk. The main thread leaves while the pass runs.
    for i in range(2):
        with open(tmp_path / f"big{i}.bin", "wb") as f:
            f.truncate(3 << 30)
    r = run_python("""
import sys, threading, time
from mavelin.core.file_managing import FileManager
m = FileManager(sys.argv[1], 2048, 4)
m._parse_directory()
started = threading.Event()
def work():
    started.set()
    m._generate_fingerprints()
threading.Thread(target=work, daemon=True).start()
started.wait()
time.sleep(0.3)
print("leaving")
""", str(tmp_path), warnings_as_errors=False, timeout=120)
    assert (r.returncode, r.stdout) == (0, "leaving\n"), r.stderr
