# Signing and validation through a Dask cluster (two worker processes): the same certificate, the
# same findings and log lines as a local run, a killed worker retried, a worker blind to the tree,
# files changed under the run, Ctrl-C, the progress line and the bound on tasks in flight.
import errno
import functools
import json
import logging
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import uuid
import weakref
import zipfile

import pytest

distributed = pytest.importorskip(
    "distributed", reason="the optional Dask support (mavelin[dask]) is not installed")

from mavelin.core import _shards  # noqa: E402
from mavelin.utils.sign_folder import sign_folder  # noqa: E402
from mavelin.utils.validate_certificate import validate_certificate  # noqa: E402
import worker_hooks  # noqa: E402
from support import TESTS_DIR, run_cli, run_with_terminal_stderr  # noqa: E402

CERT = os.path.join("Certificates", "Certificate.korvex")


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                       dashboard_address=None)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


@pytest.fixture
def small_shards(monkeypatch):
    """Shards of 64 KiB: the big file of the tree spreads over many tasks."""
    monkeypatch.setattr(_shards, "SHARD_BYTES", 64 << 10)


def make_tree(top, seed=3):
    rng = random.Random(seed)
    for i in range(40):
        (top / f"d{i % 4}").mkdir(parents=True, exist_ok=True)
        (top / f"d{i % 4}" / f"f{i}.bin").write_bytes(rng.randbytes(rng.randrange(0, 9000)))
    for name in ("empty", "odd name \u00e9 \u2603", "new\nline", "tab\tx", "\u00e9" * 127 + "x"):
        (top / name).write_bytes(b"" if name == "empty" else rng.randbytes(3000))
    (top / "d0" / "empty too").write_bytes(b"")
    os.mkdir(os.fsencode(top) + b"/bad\xff")
    open(os.fsencode(top) + b"/bad\xff/\xfe", "wb").write(rng.randbytes(100))
    (top / "big.bin").write_bytes(rng.randbytes((1 << 20) + 777))  # 17 shards of ranges
    # With 64 KiB shards: exactly one shard's chunks (whole), and one chunk more (two ranges).
    (top / "edge").mkdir()
    (top / "edge" / "full").write_bytes(rng.randbytes(64 << 10))
    (top / "edge" / "over").write_bytes(rng.randbytes((64 << 10) + 1))
    return top


def archive(top):
    with zipfile.ZipFile(top / CERT) as zf:
        info, = zf.infolist()
        return zf.read(info), (info.filename, info.compress_type, info.external_attr)


def messages(caplog):
    return [(r.levelname, r.name, r.getMessage()) for r in caplog.records
            if not r.getMessage().startswith("Elapsed time")]


def test_signing_on_the_cluster_writes_the_local_certificate(tmp_path, client, small_shards):
    top = make_tree(tmp_path / "t")
    sign_folder(str(top), "silent")
    local = archive(top)
    os.remove(top / CERT)
    sign_folder(str(top), "silent", client=client)
    assert archive(top) == local
    # And through a scheduler address, connected and closed by the procedure.
    os.remove(top / CERT)
    sign_folder(str(top), "silent", scheduler=client.scheduler.address, jobs=2)
    assert archive(top) == local


@pytest.mark.parametrize("change", ["modified", "missing", "new", "unreadable", "dangling"])
def test_validation_on_the_cluster_logs_what_a_local_one_logs(tmp_path, client, small_shards,
                                                               caplog, change):
    top = make_tree(tmp_path / "t")
    sign_folder(str(top), "silent")
    if change == "modified":
        with open(top / "big.bin", "r+b") as f:
            f.seek(700_000)
            f.write(b"!")
    elif change == "missing":
        os.remove(top / "d1" / "f5.bin")
    elif change == "new":
        (top / "d2" / "extra").write_bytes(b"extra")
    elif change == "unreadable":  # a link loop where a file was: ELOOP from the worker, as locally
        os.remove(top / "d3" / "f7.bin")
        os.symlink("f7.bin", top / "d3" / "f7.bin")
    else:  # a link whose target is missing where a file was: named by the scan, the file missing
        os.remove(top / "d3" / "f7.bin")
        os.symlink("nowhere", top / "d3" / "f7.bin")
    runs = []
    for kw in ({}, {"client": client}):
        caplog.clear()
        with caplog.at_level(logging.INFO):
            with pytest.raises(SystemExit) as exit_info:
                validate_certificate(str(top), None, **kw)
        runs.append((exit_info.value.code, messages(caplog)))
    assert runs[0] == runs[1]
    assert any(level == "WARNING" for level, _, _ in runs[0][1])


def wide_tree(top, seed):
    """Folders nested every way the walk meets them: some left out for their name (deep too), an
    unreadable one (mode 0), links to folders and dangling ones, a chain deeper than the walk
    keeps open, large files deep down, and many folders more than a task takes."""
    rng = random.Random(seed)
    for i in range(80):
        d = top.joinpath(*(f"n{rng.randrange(4)}" for _ in range(rng.randrange(0, 5))))
        d.mkdir(parents=True, exist_ok=True)
        (d / f"f{i}").write_bytes(rng.randbytes(rng.randrange(0, 5000)))
    for left_out in (top / "Certificates", top / "n1" / "Certificates"):
        (left_out / "sub").mkdir(parents=True)
        (left_out / "left out").write_bytes(b"x")
        (left_out / "sub" / "kept").write_bytes(b"y")
    deep = top.joinpath("deep", *(f"{k}" for k in range(40)))
    deep.mkdir(parents=True)
    for k in range(0, 40, 7):
        (top.joinpath("deep", *(f"{j}" for j in range(k))) / "file").write_bytes(bytes([k]))
    (top / "n0" / "private" / "sub").mkdir(parents=True, exist_ok=True)
    (top / "n0" / "private" / "sub" / "secret").write_bytes(b"s")
    os.symlink("n0", top / "link to a folder")
    os.symlink("nowhere", top / "n2" / "dangling")
    (top / "n3" / "n1" / "big").parent.mkdir(parents=True, exist_ok=True)
    (top / "n3" / "n1" / "big").write_bytes(rng.randbytes(300_000))  # five ranges
    return top


@pytest.mark.parametrize("task_files", [0, 3, 1 << 20])
@pytest.mark.parametrize("procedure", ["sign", "validate"])
def test_the_spliced_walk_gives_what_a_local_walk_gives(tmp_path, client, small_shards,
                                                        monkeypatch, caplog, task_files,
                                                        procedure):
    # The workers walk subtrees (each task at most task_files files before it hands the rest
    # back) and the caller splices their rows: certificate, lines, report and exit status as
    # locally.
    top = wide_tree(tmp_path / "t", task_files)
    monkeypatch.setattr(_shards, "WALK_TASK_FILES", task_files)
    monkeypatch.setattr(_shards, "walk_subtree",
                        functools.partial(worker_hooks.without_dac, "walk_subtree"))
    if procedure == "validate":
        sign_folder(str(top), "silent")
        with open(top / "n3" / "n1" / "big", "r+b") as f:
            f.write(b"changed")
        (top / "n2" / "new").write_bytes(b"new")
    os.chmod(top / "n0" / "private", 0)
    runs = []
    for kw in ({}, {"client": client}):
        caplog.clear()
        worker_hooks.dac_override(False)
        try:
            if procedure == "sign":
                runs.append(outcome(top, caplog, **kw))
                continue
            with caplog.at_level(logging.INFO), pytest.raises(SystemExit) as exit_info:
                validate_certificate(str(top), None, report=str(tmp_path / "r.json"), **kw)
            report = json.loads((tmp_path / "r.json").read_text())
            del report["counts"]["seconds"]
            runs.append((exit_info.value.code, messages(caplog), report))
        finally:
            worker_hooks.dac_override(True)
    os.chmod(top / "n0" / "private", 0o755)
    assert runs[0] == runs[1]
    assert any("private" in m for _, _, m in runs[0][1])
    if procedure == "sign":  # and once readable, the certificate itself
        assert outcome(top, caplog) == outcome(top, caplog, client=client)


def test_an_unreadable_file_fails_signing_as_locally(tmp_path, client, caplog):
    top = make_tree(tmp_path / "t")
    os.symlink("loop", top / "d0" / "loop")
    runs = []
    for kw in ({}, {"client": client}):
        caplog.clear()
        with pytest.raises(SystemExit) as exit_info:
            sign_folder(str(top), "silent", **kw)
        runs.append((exit_info.value.code, messages(caplog)))
        assert not (top / CERT).exists()
    assert runs[0] == runs[1] and runs[0][0] == 1


def test_a_worker_that_cannot_see_the_tree_is_named(tmp_path, client, caplog, monkeypatch):
    # /proc/self/cwd is each process's own working folder: the workers look elsewhere.
    name = f"blind-{uuid.uuid4().hex}"
    make_tree(tmp_path / name)
    monkeypatch.chdir(tmp_path)
    top = f"/proc/self/cwd/{name}"
    assert not os.path.exists(os.path.join(client.run(os.getcwd).popitem()[1], name))
    with pytest.raises(SystemExit) as exit_info:
        sign_folder(top, "silent", client=client)
    assert exit_info.value.code == 1
    workers = set(client.scheduler_info()["workers"])
    (level, logger, message), = [m for m in messages(caplog) if m[0] == "ERROR"]
    assert message.startswith(f"Folder {top} can't be read on worker ")
    assert any(f" on worker {w}: " in message for w in workers)
    assert message.endswith(f": [Errno {errno.ENOENT}] {os.strerror(errno.ENOENT)}")
    assert not (tmp_path / name / CERT).exists()


def test_the_commands_take_a_scheduler_address(tmp_path, client):
    top = make_tree(tmp_path / "t")
    sign_folder(str(top), "silent")
    local = archive(top)
    os.remove(top / CERT)
    address = client.scheduler.address
    r = run_cli("sign_folder", "-p", top, "--scheduler", "auto",
                env={"DASK_SCHEDULER_ADDRESS": address})
    assert r.returncode == 0, r.stdout + r.stderr
    assert archive(top) == local
    r = run_cli("validate_certificate", "-p", top, "--scheduler", address)
    assert r.returncode == 0 and "Validation successfull" in r.stdout, r.stdout + r.stderr
    r = run_cli("validate_certificate", "-p", top, "--scheduler", "auto",
                env={"DASK_SCHEDULER_ADDRESS": ""})
    assert r.returncode == 2 and "DASK_SCHEDULER_ADDRESS" in r.stderr


def test_a_worker_killed_mid_run_is_retried_and_the_result_exact(tmp_path, client, monkeypatch):
    top = make_tree(tmp_path / "t")
    for i in range(150):
        (top / "many" / f"{i % 30}").mkdir(parents=True, exist_ok=True)
        (top / "many" / f"{i % 30}" / f"{i}").write_bytes(os.urandom(8000))
    sign_folder(str(top), "silent")
    local = archive(top)
    os.remove(top / CERT)
    monkeypatch.setattr(_shards, "WALK_TASK_FILES", 4)  # dozens of walk tasks
    monkeypatch.setattr(_shards, "SHARD_BYTES", 16 << 10)  # and range tasks for big.bin
    pids = client.run(os.getpid)
    victim = sorted(pids.values())[0]
    killed = threading.Event()

    def kill_when_busy():
        while not killed.is_set():
            if any(client.processing().values()):
                os.kill(victim, 9)
                killed.set()
            threading.Event().wait(0.005)

    killer = threading.Thread(target=kill_when_busy, daemon=True)
    killer.start()
    try:
        sign_folder(str(top), "silent", client=client)
    finally:
        killed.set()
        killer.join()
    assert archive(top) == local
    client.wait_for_workers(2)
    assert victim not in client.run(os.getpid).values()



def outcome(top, caplog, **kw):
    """(exit status, log lines, certificate or None) of a signing of `top`."""
    caplog.clear()
    code = 0
    try:
        sign_folder(str(top), "silent", **kw)
    except SystemExit as exit_info:
        code = exit_info.code
    found = archive(top) if (top / CERT).exists() else None
    if found:
        os.remove(top / CERT)
    return code, messages(caplog), found


@pytest.mark.parametrize("how", ["grow", "shrink", "empty", "remove"])
def test_a_split_file_changed_after_planning_gives_what_a_local_run_gives(
        tmp_path, client, small_shards, monkeypatch, caplog, how):
    # The shards are cut from the sizes the client saw; the file changes before any worker
    # reads it, and the certificate is that of the tree as it ends up.
    top = make_tree(tmp_path / "t")
    (tmp_path / "marks").mkdir()
    plan = {"path": str(top / "big.bin"), "how": how, "marks": str(tmp_path / "marks")}
    with monkeypatch.context() as m:
        m.setattr(_shards, "fingerprint_shard",
                  functools.partial(worker_hooks.change_first, plan))
        on_cluster = outcome(top, caplog, client=client)
    assert (tmp_path / "marks" / "changed").exists()
    if how == "remove":  # gone after the walk: unreadable, as in a local run it vanished from
        code, lines, certificate = on_cluster
        assert (code, certificate) == (1, None)
        assert [m for m in lines if m[0] == "ERROR"] == [
            ("ERROR", "mavelin.utils.sign_folder",
             f"File big.bin can't be read: {os.strerror(errno.ENOENT)}")]
    else:
        assert on_cluster == outcome(top, caplog)
        assert on_cluster[0] == 0 and on_cluster[2] is not None


@pytest.mark.parametrize("how", ["rewritten by every reader", "another size on the worker",
                                 "missing on the worker", "another tree on the worker"])
def test_a_file_that_is_not_the_one_planned_fails_signing(tmp_path, client, small_shards,
                                                          monkeypatch, caplog, how):
    # Never a certificate of pieces of two versions of a file, or of another copy of the tree.
    top = make_tree(tmp_path / "t")
    if how == "rewritten by every reader":  # same size: only the identity tells the versions
        hook = functools.partial(worker_hooks.rewrite_each, {"rel": "big.bin"})
        task, expected = "fingerprint_shard", "File big.bin changed while it was read on the cluster"
    else:  # the worker sees a copy of the same files (hard links), but for one file
        rel, seen = "big.bin", tmp_path / "seen"
        shutil.copytree(top, seen, copy_function=os.link)
        os.remove(seen / rel)
        if how == "another size on the worker":
            (seen / rel).write_bytes(b"stale")
        task = "walk_subtree" if how == "another tree on the worker" else "fingerprint_shard"
        hook = functools.partial(worker_hooks.other_root, str(seen), task)
        expected = (f"Folder {top} on worker {{}} is not the folder this machine sees"
                    if task == "walk_subtree" else
                    f"File {rel} on worker {{}} is not the file this machine sees")
    monkeypatch.setattr(_shards, task, hook)
    code, lines, certificate = outcome(top, caplog, client=client)
    assert (code, certificate) == (1, None)
    (level, _, message), = [m for m in lines if m[0] == "ERROR"]
    workers = client.scheduler_info()["workers"]
    assert message in {expected.format(w) for w in workers}


def scheduler_tasks(client):
    return client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks))


def wait_until(condition, timeout=60):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def test_ctrl_c_in_the_library_cancels_the_tasks_and_keeps_the_certificate(
        tmp_path, client, monkeypatch):
    top = tmp_path / "t"
    top.mkdir()
    (top / "old").write_bytes(b"old")
    sign_folder(str(top), "silent")
    before = (top / CERT).read_bytes()
    for i in range(200):
        (top / f"d{i % 20}").mkdir(exist_ok=True)
        (top / f"d{i % 20}" / f"f{i}").write_bytes(os.urandom(100))
    monkeypatch.setattr(_shards, "WALK_TASK_FILES", 1)  # a task per folder
    monkeypatch.setattr(_shards, "walk_subtree",
                        functools.partial(worker_hooks.slow, 0.05, "walk_subtree"))
    main = threading.main_thread().ident
    stop = threading.Event()

    def interrupt_when_busy():
        if wait_until(lambda: stop.is_set() or any(client.processing().values())):
            signal.pthread_kill(main, signal.SIGINT)

    interrupter = threading.Thread(target=interrupt_when_busy)
    interrupter.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            sign_folder(str(top), "silent", client=client)
    finally:
        stop.set()
        interrupter.join()
    assert (top / CERT).read_bytes() == before
    assert wait_until(lambda: scheduler_tasks(client) == 0)


@pytest.fixture
def sparse_tree(tmp_path):
    """Far more to read (64 GiB of holes, a thousand tasks) than the run is given."""
    top = tmp_path / "sparse"
    top.mkdir()
    (top / "small").write_bytes(b"x")
    assert run_cli("sign_folder", "-p", top, "-m", "silent").returncode == 0
    with open(top / "big", "wb") as f:
        f.truncate(64 << 30)
    return top


def test_ctrl_c_on_the_command_line_ends_with_130(sparse_tree, client):
    before = (sparse_tree / CERT).read_bytes()
    proc = subprocess.Popen(
        [sys.executable, "-m", "mavelin.cli", "sign_folder", "-p", str(sparse_tree),
         "--scheduler", client.scheduler.address],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        assert wait_until(lambda: any(client.processing().values()))
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 130, (out, err)
    assert b"Traceback" not in err
    assert (sparse_tree / CERT).read_bytes() == before
    assert wait_until(lambda: scheduler_tasks(client) == 0)


def test_the_progress_line_counts_shards_as_they_finish(tmp_path, client):
    top = make_tree(tmp_path / "t")
    files = sum(len(names) for _, _, names in os.walk(top))
    code = (f"import functools, runpy, sys; sys.path.insert(0, {TESTS_DIR!r}); "
            "import worker_hooks; from mavelin.core import _shards; "
            "_shards.SHARD_BYTES = 16 << 10; "
            "_shards.fingerprint_shard = functools.partial(worker_hooks.slow, 0.05, "
            "'fingerprint_shard'); "
            "sys.argv[0] = 'mavelin'; runpy.run_module('mavelin', run_name='__main__')")
    status, stdout, terminal = run_with_terminal_stderr(
        [sys.executable, "-c", code, "sign_folder", "-p", top, "--scheduler",
         client.scheduler.address])
    assert status == 0, stdout + terminal
    line = re.compile(rb"\rfingerprinting: (\d+)/%d files, [\d.]+ [kMG]?B( of [\d.]+ [kMG]?B)?"
                      rb"[^\r\x1b]*\x1b\[K" % files)
    drawn = [(int(m.group(1)), m.group(2)) for m in line.finditer(terminal)]
    counts = [n for n, _ in drawn]
    # Files are counted as their shards come back, against the total of the planned sizes.
    assert any(0 < n < files and total for n, total in drawn), terminal
    assert counts == sorted(counts)
    assert terminal.endswith(b"\r\x1b[K")
    assert line.sub(b"", terminal).replace(b"\r\x1b[K", b"") == b""


class CountingClient:
    """A client that counts the tasks submitted and the futures alive in the caller."""

    def __init__(self, client):
        self._client = client
        self.alive = {}
        self.most_alive = 0
        self.submitted = 0

    def submit(self, *args, **kwargs):
        future = self._client.submit(*args, **kwargs)
        ref = weakref.ref(future, lambda r: self.alive.pop(id(r), None))
        self.alive[id(ref)] = ref
        self.most_alive = max(self.most_alive, len(self.alive))
        self.submitted += 1
        return future

    def __getattr__(self, name):
        return getattr(self._client, name)


@pytest.mark.parametrize("tasks", ["walk", "ranges"])
def test_a_large_tree_keeps_a_bounded_window_of_tasks(tmp_path, client, monkeypatch, tasks):
    top = tmp_path / "t"
    for i in range(400 if tasks == "walk" else 100):  # over a hundred walk or range tasks
        (top / f"{i % 200}").mkdir(parents=True, exist_ok=True)
        (top / f"{i % 200}" / f"{i}").write_bytes(os.urandom(500 if tasks == "walk" else 40_000))
    sign_folder(str(top), "silent")
    local = archive(top)
    os.remove(top / CERT)
    monkeypatch.setattr(_shards, "WALK_TASK_FILES", 1)  # a walk task per folder
    monkeypatch.setattr(_shards, "SHARD_BYTES", 16 << 10)  # and three range tasks per file
    counting = CountingClient(client)
    sign_folder(str(top), "silent", client=counting)
    assert archive(top) == local
    # A few dozen tasks at most in flight, and so results held (two worker threads), of hundreds.
    assert counting.submitted > 100
    assert 1 < counting.most_alive <= 64
