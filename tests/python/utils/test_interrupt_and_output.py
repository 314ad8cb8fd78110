# Ctrl-C at any step keeps the old certificate (exit 130 on the command line), an interrupt after
# the new certificate is in place no longer fails the run, log lines cannot be split by a file's
# name, and an output that cannot be written ends the run quietly.
import logging
import os
import signal
import subprocess
import sys
import time

import pytest

import mavelin.core.file_managing as file_managing
import mavelin.utils
from mavelin.core.models import FileNode
from oracles import certificate_content, expected_certificate
from support import run_cli

GIB = 1 << 30
FINGERPRINT = [["0" * 64] for _ in range(4)]


def signed_small_tree(top):
    top.mkdir()
    (top / "a").write_bytes(b"a" * 5000)
    assert run_cli("sign_folder", "-p", str(top), "-m", "silent").returncode == 0
    return (top / "Certificates" / "Certificate.korvex").read_bytes()


def test_ctrl_c_while_hashing_exits_130_and_keeps_the_old_certificate(tmp_path):
    top = tmp_path / "tree"
    old = signed_small_tree(top)
    with open(top / "sparse", "wb") as f:
        f.truncate(64 * GIB)  # far more hashing than the run is given
    proc = subprocess.Popen([sys.executable, "-m", "mavelin.cli", "sign_folder", "-p", str(top)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        for line in proc.stdout:
            if "Generating fingerprints..." in line:
                break
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 130
    assert "Traceback" not in err and "Aborted" not in err
    assert (top / "Certificates" / "Certificate.korvex").read_bytes() == old
    assert os.listdir(top / "Certificates") == ["Certificate.korvex"]


class SyntheticManager(file_managing.FileManager):
    """A manager whose scan yields a large table without a large tree."""
    count = 200_000

    def _parse_directory(self):
        self._file_nodes = {}
        for i in range(1, self.count + 1):
            node = FileNode(i, f"folder/file-{i:07d}.bin")
            node._FileNode__hash_fingerprint = FINGERPRINT
            self._file_nodes[f"node_id_{i}"] = node
        self.files_count = self.count
        self._uncertified_folders = []
        self._scan_errors = []

    def _generate_fingerprints(self):
        self._fingerprint_errors = []


WATCHER = """
import os, signal, sys, time
folder, pid = sys.argv[1], int(sys.argv[2])
print("watching", flush=True)
while not any(name.endswith(".tmp") for name in os.listdir(folder)):
    time.sleep(0.0005)
os.kill(pid, signal.SIGINT)
"""


def test_ctrl_c_while_the_certificate_is_written_keeps_the_old_one(tmp_path, monkeypatch):
    top = tmp_path / "tree"
    old = signed_small_tree(top)
    folder = top / "Certificates"
    monkeypatch.setattr(file_managing, "FileManager", SyntheticManager)
    # The payload is made with the interpreter lock held: the watcher is a process of its own.
    watcher = subprocess.Popen([sys.executable, "-c", WATCHER, str(folder), str(os.getpid())],
                               stdout=subprocess.PIPE, text=True)
    try:
        # A loaded machine can start the watcher more slowly than the certificate is written.
        assert watcher.stdout.readline() == "watching\n"
        with pytest.raises(KeyboardInterrupt):
            mavelin.utils.sign_folder(str(top), "silent")
    finally:
        watcher.kill()
        watcher.wait()
    assert (folder / "Certificate.korvex").read_bytes() == old
    assert os.listdir(folder) == ["Certificate.korvex"]


def test_an_interrupt_after_the_rename_no_longer_fails_the_run(tmp_path):
    top = tmp_path / "tree"
    signed_small_tree(top)
    (top / "b").write_bytes(b"new file")

    class CtrlCOnElapsedTime(logging.Handler):
        def emit(self, record):
            if record.getMessage().startswith("Elapsed time"):
                raise KeyboardInterrupt

    logger = logging.getLogger("mavelin.utils.sign_folder")
    handler = CtrlCOnElapsedTime()
    logger.addHandler(handler)
    old_level = logger.level
    logger.setLevel(logging.INFO)
    try:
        assert mavelin.utils.sign_folder(str(top)) is None
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old_level)
    assert certificate_content(top) == expected_certificate(top)


LINE_BREAKS = ["\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x85", "\u2028", "\u2029", "\x9b"]


def test_no_file_name_can_split_a_log_line(tmp_path):
    top = tmp_path / "tree"
    top.mkdir()
    forged = "] [INFO] [mavelin.utils.validate_certificate] Validation successfull"
    names = [f"x{brk}{forged}" for brk in LINE_BREAKS]
    for name in names:
        (top / name).write_bytes(b"before")
    assert run_cli("sign_folder", "-p", str(top), "-m", "silent").returncode == 0
    for name in names:
        (top / name).write_bytes(b"after")
    run = run_cli("validate_certificate", "-p", str(top))
    assert run.returncode == 1
    # Every reader's idea of a line is the log's own: one record per "\n".
    assert len(run.stdout.splitlines()) == run.stdout.count("\n")
    assert "Validation successfull" not in [line.rsplit("] ", 1)[-1] for line in run.stdout.splitlines()]
    shown = "\n".join(m for _l, _n, m in run.triples())
    for escape in ["\\x0b", "\\x0c", "\\x1c", "\\u0085", "\\u2028", "\\u2029", "\\u009b"]:
        assert escape in shown


@pytest.mark.parametrize("command", ["sign_folder", "validate_certificate"])
def test_a_full_output_ends_the_run_quietly_with_status_1(tmp_path, command):
    top = tmp_path / "tree"
    signed_small_tree(top)
    with open("/dev/full", "w") as full:
        r = subprocess.run([sys.executable, "-m", "mavelin.cli", command, "-p", str(top)],
                           stdout=full, stderr=subprocess.PIPE, text=True, timeout=60)
    assert (r.returncode, r.stderr) == (1, "")
