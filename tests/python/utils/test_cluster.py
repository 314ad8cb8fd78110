# Signing and validation through a Dask cluster (two worker processes): the same certificate, the
# same findings and log lines as a local run, a killed worker retried, a worker blind to the tree.
import errno
import logging
import os
import random
import threading
import uuid
import zipfile

import pytest

distributed = pytest.importorskip(
    "distributed", reason="the optional Dask support (mavelin[dask]) is not installed")

from mavelin.core import _shards  # noqa: E402
from mavelin.utils.sign_folder import sign_folder  # noqa: E402
from mavelin.utils.validate_certificate import validate_certificate  # noqa: E402
from support import run_cli  # noqa: E402

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
    for name in ("empty", "odd name \u00e9 \u2603", "new\nline", "tab\tx"):
        (top / name).write_bytes(b"" if name == "empty" else rng.randbytes(3000))
    os.mkdir(os.fsencode(top) + b"/bad\xff")
    open(os.fsencode(top) + b"/bad\xff/\xfe", "wb").write(rng.randbytes(100))
    (top / "big.bin").write_bytes(rng.randbytes((1 << 20) + 777))  # 17 shards of ranges
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


@pytest.mark.parametrize("change", ["modified", "missing", "new", "unreadable"])
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
    else:  # a dangling link where a file was: ENOENT from the worker, as locally
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


def test_an_unreadable_file_fails_signing_as_locally(tmp_path, client, caplog):
    top = make_tree(tmp_path / "t")
    os.symlink("nowhere", top / "d0" / "dangling")
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
        (top / "many").mkdir(exist_ok=True)
        (top / "many" / f"{i}").write_bytes(os.urandom(8000))
    sign_folder(str(top), "silent")
    local = archive(top)
    os.remove(top / CERT)
    monkeypatch.setattr(_shards, "SHARD_BYTES", 16 << 10)  # one task per file
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

