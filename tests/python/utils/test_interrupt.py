# Ctrl-C during a long fingerprint pass ends the run promptly and writes nothing.
import os
import signal
import subprocess
import sys
import time

import pytest

GIB = 1 << 30


def start(argv, tree):
    # A child whose SIGINT handler is Python's own, whatever the test runner inherited.
    return subprocess.Popen(
        [sys.executable, "-m", "mavelin.cli", *argv, "-p", str(tree)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


def wait_for_line(proc, text, timeout=30):
    deadline = time.monotonic() + timeout
    seen = []
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        seen.append(line)
        if text in line:
            return seen
    pytest.fail(f"never saw {text!r}: {seen!r}")


@pytest.fixture
def big_sparse_tree(tmp_path):
    # Sparse files read as zeros without touching the disk: far more hashing (128 GiB) than
    # the time the child is given to stop, so only an interrupted pass ends in time.
    tree = tmp_path / "tree"
    tree.mkdir()
    for name in ("a", "b"):
        with open(tree / name, "wb") as f:
            f.truncate(64 * GIB)
    return tree


def test_interrupting_signing_stops_at_once_and_leaves_no_certificate(big_sparse_tree):
    proc = start(["sign_folder"], big_sparse_tree)
    try:
        wait_for_line(proc, "Generating fingerprints...")
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=15)
    finally:
        proc.kill()
    assert proc.returncode == 130  # as the command's help says
    assert not (big_sparse_tree / "Certificates").exists()


def test_interrupting_validation_stops_at_once(big_sparse_tree):
    small = big_sparse_tree.parent / "small"
    small.mkdir()
    (small / "f").write_bytes(b"x")
    done = subprocess.run([sys.executable, "-m", "mavelin.cli", "sign_folder", "-p", str(small)],
                          capture_output=True)
    assert done.returncode == 0
    os.replace(small / "Certificates", big_sparse_tree / "Certificates")
    proc = start(["validate_certificate"], big_sparse_tree)
    try:
        wait_for_line(proc, "Certificate file has been found")
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=15)
    finally:
        proc.kill()
    assert proc.returncode != 0
    assert "Validation successfull" not in out
