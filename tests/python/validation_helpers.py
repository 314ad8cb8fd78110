# Shared helpers of the validation tests: trees, command runs, log records and reference certificates.
import contextlib
import hashlib
import io
import json
import logging
import os
import pickle
import re
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib
from dataclasses import dataclass
from pathlib import Path

CHUNK = 2048
STEP = 4
VALIDATION_LOGGER = "mavelin.core.validation"
PROCEDURE_LOGGER = "mavelin.utils.validate_certificate"
NO_CERT_WARNING = "Certificate file wasn't provided. Performing search..."
FOUND = "Certificate file has been found at "
NOT_FOUND = "Certificate file not found."
DEEPER = "Performing deeper search..."
CORRUPTED = "Certificate file is corrupted"
ELAPSED = re.compile(r"^Elapsed time: (\d+ days?, )?\d+:\d\d:\d\d(\.\d{6})?$")

_HEAD = re.compile(r"^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3})\] \[(INFO|WARNING|ERROR|DEBUG|CRITICAL)\] "
                   r"\[([^\]]*)\] (.*)$")


# --- log records and command runs -------------------------------------------------------------

def parse_log(stdout):
    """(level, logger, message) of every line; any line not in the shared format fails."""
    out = []
    for line in stdout.splitlines():
        m = _HEAD.match(line)
        assert m, f"line outside the log format: {line!r}\nwhole output:\n{stdout}"
        out.append((m.group(2), m.group(3), m.group(4)))
    return out


@dataclass
class Run:
    returncode: int
    stdout: str
    stderr: str

    @property
    def log(self):
        return parse_log(self.stdout)

    def messages(self, level=None):
        return [m for lv, _n, m in self.log if level is None or lv == level]

    def assert_clean(self):
        """No traceback or crash report on either stream."""
        for text in (self.stdout, self.stderr):
            assert "Traceback" not in text, text
        assert self.returncode >= 0, f"killed by signal {-self.returncode}\n{self.stderr}"


def run_cli(*args, timeout=120, cwd=None):
    r = subprocess.run([sys.executable, "-m", "mavelin.cli", *map(os.fspath, args)], cwd=cwd,
                       capture_output=True, timeout=timeout)
    return Run(r.returncode, r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace"))


def sign(top):
    r = run_cli("sign_folder", "-p", top)
    assert r.returncode == 0, r.stdout + r.stderr
    cert = os.path.join(top, "Certificates", "Certificate.korvex")
    assert os.path.isfile(cert)
    return cert


def validate(top, cert=None, timeout=120, *options):
    args = ["validate_certificate", "-p", top]
    if cert is not None:
        args += ["-c", cert]
    return run_cli(*args, *options, timeout=timeout)


def validate_by_position(top, cert=None, timeout=120):
    return validate(top, cert, timeout, "--match", "position")


class LogCapture(logging.Handler):
    """Collects (level, logger, message) of the mavelin loggers while active."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append((record.levelname, record.name, record.getMessage()))

    def messages(self, level=None):
        return [m for lv, _n, m in self.records if level is None or lv == level]


@contextlib.contextmanager
def capture_logs():
    log = logging.getLogger("mavelin")
    cap = LogCapture()
    old_level = log.level
    log.setLevel(logging.DEBUG)
    log.addHandler(cap)
    try:
        yield cap
    finally:
        log.removeHandler(cap)
        log.setLevel(old_level)


# --- run reports ---------------------------------------------------------------------------------

SCHEMA_PATH = Path(__file__).resolve().parents[2] / "schema" / "report.schema.json"


def check_report(text):
    """The report document of `text`, validated against the schema in the repository."""
    import pytest
    jsonschema = pytest.importorskip("jsonschema")
    document = json.loads(text)
    schema = json.loads(SCHEMA_PATH.read_text())
    jsonschema.Draft202012Validator.check_schema(schema)
    jsonschema.Draft202012Validator(schema).validate(document)
    return document


def report_changes(document):
    """{(kind, path, other_path)} of a report's findings."""
    return {(f["kind"], f["path"], f["other_path"]) for f in document["findings"]}


# --- trees and reference fingerprints ---------------------------------------------------------

def write(path, data=b""):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data if isinstance(data, bytes) else data.encode())
    return path


def make_tree(top, files):
    """files: {relative path: bytes or text}."""
    for rel, data in files.items():
        write(Path(top) / rel, data)
    return top


def reference_fingerprint(path, chunk=CHUNK, step=STEP):
    """Chunk digests regrouped into `step` interleaved rows, each row's hex text digested."""
    digests = []
    with open(path, "rb") as f:
        while True:
            block = f.read(chunk)
            if not block:
                break
            digests.append(hashlib.sha256(block).hexdigest())
    return [[hashlib.sha256("".join(digests[s::step]).encode()).hexdigest()] for s in range(step)]


def scan_order(top):
    """Node paths in scan order: os.walk order, files directly in "Certificates" left out."""
    top = os.fspath(top)
    paths = []
    for root, _dirs, files in os.walk(top):
        if not files or Path(root).name == "Certificates":
            continue
        rel = os.path.relpath(root, top)
        rel = "" if rel == "." else rel.replace(os.sep, "/")
        paths.extend(f"{rel}/{name}" if rel else name for name in files)
    return paths


def walk_order_dirs(top):
    """Folders in os.walk order (the start folder first)."""
    return [root for root, _d, _f in os.walk(os.fspath(top))]


# --- certificates written with the host's own pickle and zipfile ------------------------------

def node_table(top, paths=None, without_fingerprint=()):
    """A node table of real FileNode records for `paths` (default: the scan order of `top`)."""
    from mavelin.core.models import FileNode
    table = {}
    for i, rel in enumerate(scan_order(top) if paths is None else paths, start=1):
        node = FileNode(i, rel)
        if rel not in without_fingerprint:
            node.set_fingerprint(reference_fingerprint(os.path.join(top, rel)))
        table[f"node_id_{i}"] = node
    return table


def pickle_table(table, protocol=4, fast=False):
    buf = io.BytesIO()
    p = pickle.Pickler(buf, protocol=protocol)
    p.fast = fast
    p.dump(table)
    return buf.getvalue()


def zip_payload(dest, payload, member="Certificate.pk", compression=zipfile.ZIP_STORED,
                force_zip64=False, compresslevel=None):
    dest = Path(dest)
    dest.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(dest, "w", compression=compression, compresslevel=compresslevel) as zf:
        info = zipfile.ZipInfo(member, date_time=(2024, 1, 2, 3, 4, 6))
        info.compress_type = compression
        with zf.open(info, "w", force_zip64=force_zip64) as out:
            out.write(payload)
    return dest


def host_certificate(top, dest=None, protocol=4, fast=False, table=None, **zip_kw):
    """Certificate of `top` written with the host's pickle and zipfile; returns its path."""
    if dest is None:
        dest = Path(top) / "Certificates" / "Certificate.korvex"
    payload = pickle_table(node_table(top) if table is None else table, protocol, fast)
    return zip_payload(dest, payload, **zip_kw)


def zip64_archive(payload, name=b"Certificate.pk"):
    """A stored single-member archive in full ZIP64 form: zip64 extras in both headers,
    a zip64 end record and locator, and the classic end record saturated."""
    crc = zlib.crc32(payload)
    size = len(payload)
    local_extra = struct.pack("<HHQQ", 1, 16, size, size)
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 45, 0, 0, 0, 0x21, crc, 0xFFFFFFFF, 0xFFFFFFFF,
                        len(name), len(local_extra)) + name + local_extra
    central_extra = struct.pack("<HHQQQ", 1, 24, size, size, 0)
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 45, 45, 0, 0, 0, 0x21, crc, 0xFFFFFFFF,
                          0xFFFFFFFF, len(name), len(central_extra), 0, 0, 0, 0, 0xFFFFFFFF) \
        + name + central_extra
    cd_offset = len(local) + size
    z64_end_offset = cd_offset + len(central)
    z64_end = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, 1, 1, len(central), cd_offset)
    locator = struct.pack("<IIQI", 0x07064B50, 0, z64_end_offset, 1)
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFFFFFF,
                      0xFFFFFFFF, 0)
    return local + payload + central + z64_end + locator + end


def unzip_t(path):
    r = subprocess.run(["unzip", "-t", os.fspath(path)], capture_output=True, text=True)
    return r.returncode


# --- library runs in a child interpreter (crash- and hang-proof) -------------------------------

_CHILD = r"""
import json, logging, os, sys, zipfile
from mavelin.core.validation import CertificateValidator

class Cap(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG); self.lines = []
    def emit(self, r): self.lines.append([r.levelname, r.name, r.getMessage()])

log = logging.getLogger("mavelin"); log.setLevel(logging.DEBUG)
with open(sys.argv[1]) as f:
    cases = json.load(f)
for case in cases:
    cap = Cap(); log.addHandler(cap)
    v = CertificateValidator(case["cert"], case["dir"], chunk_size=2048, transformation_step=4)
    try:
        v.deserealize_certificate()
        table = v._CertificateValidator__certificate_fingerprints
        out = {"kind": "ok", "table": [[k, type(n).__module__ + "." + type(n).__qualname__,
                                        repr(sorted(vars(n).items()))] for k, n in table.items()]}
    except SystemExit as e:
        out = {"kind": "exit", "code": e.code}
    except (zipfile.BadZipFile, KeyError, OSError) as e:
        out = {"kind": "archive", "type": type(e).__name__, "text": str(e)}
    except BaseException as e:
        out = {"kind": "other", "type": type(e).__name__, "text": str(e)[:300]}
    log.removeHandler(cap)
    out["id"] = case["id"]; out["log"] = cap.lines
    print(json.dumps(out), flush=True)
"""


def deserialize_in_child(cases, timeout=300):
    """cases: list of {"id", "cert", "dir"}; each deserialized in one child interpreter.

    Returns {id: outcome}; a crash or hang fails naming the case being processed.
    """
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
        json.dump(cases, f)
    try:
        r = subprocess.run([sys.executable, "-c", _CHILD, f.name], capture_output=True,
                           text=True, timeout=timeout)
        stdout, rc, err = r.stdout, r.returncode, r.stderr
    except subprocess.TimeoutExpired as e:
        stdout = (e.stdout or b"").decode() if isinstance(e.stdout, bytes) else (e.stdout or "")
        rc, err = "timeout", ""
    finally:
        os.remove(f.name)
    done = {}
    for line in stdout.splitlines():
        item = json.loads(line)
        done[item["id"]] = item
    if len(done) != len(cases):
        pending = [c["id"] for c in cases if c["id"] not in done]
        raise AssertionError(f"child ended ({rc}) while processing {pending[0]!r}: {err[-2000:]}")
    return done


def says_corrupted(message):
    """Whether a log line says that the certificate is corrupted and why."""
    head = CORRUPTED + ": "
    return message.startswith(head) and len(message) > len(head)


def assert_clean_verdict(outcome, allow_ok=False):
    """Corrupted (exit 1 after one ERROR line) or an unlogged archive error; nothing else."""
    kind = outcome["kind"]
    if kind == "exit":
        assert outcome["code"] == 1, outcome
        [(level, name, message)] = outcome["log"]
        assert (level, name) == ("ERROR", VALIDATION_LOGGER) and says_corrupted(message), outcome
    elif kind == "archive":
        assert outcome["log"] == [], outcome
    elif kind == "ok":
        assert allow_ok, f"damaged certificate accepted: {outcome}"
    else:
        raise AssertionError(f"unexpected exception escaped: {outcome}")
