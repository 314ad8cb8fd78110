# SIGKILL at moments spread over a signing run (walk, hashing, payload, archive, rename): the
# certificate at its final path is always the previous one, intact, or the new one, complete and
# valid; what a killed run leaves never becomes a node and never blocks the next signing.
import os
import random
import signal
import subprocess
import sys
import time

from oracles import certificate_content, expected_certificate

KILLS_PER_KIND = 30

# A run whose table is large without a large tree: the kill lands while the certificate is written.
SYNTHETIC = """
import logging, sys
import mavelin.core.file_managing as file_managing
import mavelin.utils
from mavelin.core.models import FileNode

class Synthetic(file_managing.FileManager):
    def _parse_directory(self):
        self._file_nodes = {}
        for i in range(1, 60001):
            node = FileNode(i, f"f/{i}")
            node._FileNode__hash_fingerprint = [[format(i, "064x")]] * 4
            self._file_nodes[f"node_id_{i}"] = node
        self.files_count = 60000
        self._uncertified_folders = []
        self._scan_errors = []

    def _generate_fingerprints(self):
        self._fingerprint_errors = []

file_managing.FileManager = Synthetic
logging.basicConfig(stream=sys.stdout, level=logging.INFO, format="%(message)s")
sys.stdout.reconfigure(line_buffering=True)
mavelin.utils.sign_folder(sys.argv[1])
"""
SYNTHETIC_CONTENT = [(f"node_id_{i}", i, f"f/{i}", [[format(i, "064x")]] * 4) for i in range(1, 60001)]


def build_tree(top):
    rng = random.Random(7)
    for d in range(30):
        folder = top / f"d{d:02d}"
        folder.mkdir(parents=True)
        for f in range(60):
            (folder / f"f{f:02d}").write_bytes(rng.randbytes(rng.randrange(0, 9000)))
    # Enough bytes that the hashing takes most of a signing's time, as fast as it has become.
    for name in ("big1", "big2", "big3", "big4"):
        (top / name).write_bytes(rng.randbytes(40 << 20))


def start(argv):
    return subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def phases(argv):
    """Seconds from the start to each log line of one undisturbed run."""
    t0 = time.monotonic()
    proc = start(argv)
    marks = {}
    for line in proc.stdout:
        marks[line.strip().rsplit("] ", 1)[-1]] = time.monotonic() - t0
    proc.wait()
    assert proc.returncode == 0, proc.stderr.read()
    return marks, time.monotonic() - t0


def quickest_phases(argv, runs=3):
    """phases() of the quickest of a few undisturbed runs: kills timed from it land inside the
    later runs rather than after their end."""
    return min((phases(argv) for _ in range(runs)), key=lambda marks_total: marks_total[1])


def kill_after(argv, marker, delay):
    """Runs, SIGKILLs `delay` s after the log line `marker`; the last line seen and whether the
    run finished. Timed from the line, so a slow start-up does not shift the moments."""
    proc = start(argv)
    seen = []
    for line in proc.stdout:
        seen.append(line)
        if marker in line:
            break
    time.sleep(delay)
    proc.send_signal(signal.SIGKILL)
    out, _ = proc.communicate()
    lines = [line.rsplit("] ", 1)[-1].strip() for line in seen + out.splitlines()]
    return (lines[-1] if lines else ""), proc.returncode == 0


def check_after_kill(top, previous, new_content):
    """The final certificate is the previous bytes or a complete, correct new one; returns it."""
    path = top / "Certificates" / "Certificate.korvex"
    current = path.read_bytes()
    if current != previous:
        assert certificate_content(top) == new_content
    return current


def run_kills(top, argv, new_content, marks, first, last):
    """Kills spread from the line `first` to the line `last` of the undisturbed run `marks`."""
    reached = {}
    previous = (top / "Certificates" / "Certificate.korvex").read_bytes()
    rng = random.Random(11)
    span = marks[last] - marks[first]
    for k in range(KILLS_PER_KIND):
        delay = span * (k + rng.random()) / KILLS_PER_KIND
        line, finished = kill_after(argv, first, delay)
        key = "finished" if finished else line or "start-up"
        reached[key] = reached.get(key, 0) + 1
        previous = check_after_kill(top, previous, new_content)
    return reached


def test_sigkill_anywhere_leaves_the_old_or_the_new_certificate(tmp_path):
    top = tmp_path / "tree"
    build_tree(top)
    cli = [sys.executable, "-m", "mavelin.cli", "sign_folder", "-p", str(top)]
    marks, total = quickest_phases(cli)
    expected = expected_certificate(top)
    assert certificate_content(top) == expected
    walk_and_hash = run_kills(top, cli, expected, marks, "Parsing directory " + str(top) + "...",
                              "Certificate generated successfully!")

    synthetic = [sys.executable, "-c", SYNTHETIC, str(top)]
    marks, total = quickest_phases(synthetic)
    assert certificate_content(top) == SYNTHETIC_CONTENT
    writing = run_kills(top, synthetic, SYNTHETIC_CONTENT, marks, "Saving certificate...",
                        "Certificate generated successfully!")

    # The kills covered every step: the walk and hashing, and the certificate's writing.
    assert walk_and_hash.get("Generating fingerprints...", 0) >= 10, walk_and_hash
    assert writing.get("Saving certificate...", 0) >= 10, writing
    print("kills by the last line logged:", walk_and_hash, writing)

    # Leftovers never become nodes, never block, and are cleared by the next run.
    done = subprocess.run(cli, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert certificate_content(top) == expected
    assert os.listdir(top / "Certificates") == ["Certificate.korvex"]
