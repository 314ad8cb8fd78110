# Helpers for the behaviour tests: fresh-interpreter runs and command-line runs with parsed log records.
import os
import pty
import re
import subprocess
import sys
import threading
from dataclasses import dataclass

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))

LOG_FORMAT = "[%(asctime)s] [%(levelname)s] [%(name)s] %(message)s"
RECORD_HEAD = re.compile(
    r"^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3})\] \[(DEBUG|INFO|WARNING|ERROR|CRITICAL)\] "
    r"\[([^\]]*)\] (.*)$")
SHA256_PATHS = ["portable", "sha-ni", "avx512"]


@dataclass
class Record:
    time: str
    level: str
    name: str
    message: str


def parse_records(stdout):
    """Log records of the shared line format; a line without the header continues the message."""
    records = []
    stray = []
    for line in stdout.split("\n")[:-1] if stdout.endswith("\n") else stdout.split("\n"):
        m = RECORD_HEAD.match(line)
        if m:
            records.append(Record(*m.groups()))
        elif records:
            records[-1].message += "\n" + line
        elif line:
            stray.append(line)
    assert not stray, f"output before the first log record: {stray!r}"
    return records


@dataclass
class Run:
    returncode: int
    stdout: str
    stderr: str
    stdout_bytes: bytes

    @property
    def records(self):
        return parse_records(self.stdout)

    def triples(self):
        return [(r.level, r.name, r.message) for r in self.records]


def run_process(argv, *, cwd=None, env=None, timeout=300, preexec_fn=None, stdin_data=None):
    full_env = dict(os.environ)
    full_env.pop("PYTHONWARNINGS", None)
    if env:
        full_env.update(env)
    r = subprocess.run(argv, cwd=cwd, env=full_env, capture_output=True, timeout=timeout,
                       preexec_fn=preexec_fn, input=stdin_data)
    return Run(r.returncode, r.stdout.decode("utf-8", "surrogateescape"),
               r.stderr.decode("utf-8", "surrogateescape"), r.stdout)


def run_python(code, *args, warnings_as_errors=True, **kw):
    """Runs `code` in a fresh interpreter (the one running the tests)."""
    flags = ["-W", "error"] if warnings_as_errors else []
    return run_process([sys.executable, *flags, "-c", code, *args], **kw)


def run_cli(*args, prefix=(), python_flags=(), **kw):
    """`python -m mavelin.cli ARGS`; arguments may be bytes (undecodable paths)."""
    return run_process([*prefix, sys.executable, *python_flags, "-m", "mavelin.cli", *args], **kw)


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def open_fd_count():
    return len(os.listdir("/proc/self/fd"))


def unix_socket(path):
    """Creates a socket file at `path` (bound where the 108-byte address limit is no concern)."""
    import socket
    import tempfile
    short = tempfile.mkdtemp(dir="/tmp")
    s = socket.socket(socket.AF_UNIX)
    try:
        s.bind(os.path.join(short, "s"))
    finally:
        s.close()
    os.rename(os.path.join(short, "s"), path)
    os.rmdir(short)


class PipeRescue:
    """Unblocks anyone stuck opening one of `fifos` for reading after `seconds`; `fired` tells.

    Keeps a regression that opens named pipes blockingly from hanging the test process.
    """

    def __init__(self, fifos, seconds=20):
        import threading
        self._fifos = [os.fspath(f) for f in fifos]
        self._seconds = seconds
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self.fired = False

    def _watch(self):
        if self._done.wait(self._seconds):
            return
        self.fired = True
        while not self._done.wait(0.05):
            for fifo in self._fifos:
                try:
                    os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
                except OSError:
                    pass

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._done.set()
        self._thread.join()
        return False


def run_with_terminal_stderr(argv):
    """Runs argv with standard error on a pseudo-terminal: (status, stdout bytes, terminal bytes)."""
    master, slave = pty.openpty()
    try:
        proc = subprocess.Popen([str(a) for a in argv], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=slave)
    finally:
        os.close(slave)
    seen = []

    def drain():
        while True:
            try:
                data = os.read(master, 65536)
            except OSError:  # EIO: every writer is gone
                return
            if not data:
                return
            seen.append(data)

    reader = threading.Thread(target=drain)
    reader.start()
    try:
        stdout, _ = proc.communicate(timeout=300)
    finally:
        reader.join(timeout=60)
        os.close(master)
    return proc.returncode, stdout, b"".join(seen)
