# Ctrl-C while validation reads the certificate: the read stops where it is (a large table read
# straight into the compact form or the general way, a deflated one, a member far too large to read
# in the time given), KeyboardInterrupt in the library, exit status 130 on the command line, and
# nothing is changed.
import json
import os
import pickle
import select
import signal
import struct
import subprocess
import sys
import zipfile

import pytest

from mavelin.core.models import FileNode

GIB = 1 << 30
NODES = 300_000


def large_table_certificate(path, protocol=4, compression=zipfile.ZIP_STORED):
    table = {}
    for i in range(1, NODES + 1):
        node = FileNode(i, f"d{i % 97:02d}/file-{i:07d}.bin")
        node._FileNode__hash_fingerprint = [[format(i, "064x")], [format(i << 8, "064x")]]
        table[f"node_id_{i}"] = node
    path.parent.mkdir(parents=True)
    with zipfile.ZipFile(path, "w", compression) as zf:
        zf.writestr("Certificate.pk", pickle.dumps(table, protocol))


def sparse_member_certificate(path, size=64 * GIB):
    """A stored member of `size` bytes that are a hole: far more to check than the time given."""
    name = b"Certificate.pk"
    local_extra = struct.pack("<HHQQ", 1, 16, size, size)
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 45, 0, 0, 0, 0x21, 0, 0xFFFFFFFF, 0xFFFFFFFF,
                        len(name), len(local_extra)) + name + local_extra
    central_extra = struct.pack("<HHQQQ", 1, 24, size, size, 0)
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 45, 45, 0, 0, 0, 0x21, 0, 0xFFFFFFFF,
                          0xFFFFFFFF, len(name), len(central_extra), 0, 0, 0, 0, 0xFFFFFFFF) \
        + name + central_extra
    cd_offset = len(local) + size
    z64_end = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, 1, 1, len(central), cd_offset)
    locator = struct.pack("<IIQI", 0x07064B50, 0, cd_offset + len(central), 1)
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFFFFFF,
                      0xFFFFFFFF, 0)
    path.parent.mkdir(parents=True)
    with open(path, "wb") as f:
        f.write(local)
        f.seek(cd_offset)
        f.write(central + z64_end + locator + end)


# The ways a certificate is read: the signer's stream straight into the compact table, another
# protocol's stream decoded the general way, a deflated member, and a member too large to read.
KINDS = {
    "compact": lambda path: large_table_certificate(path),
    "general": lambda path: large_table_certificate(path, protocol=2),
    "deflated": lambda path: large_table_certificate(path, compression=zipfile.ZIP_DEFLATED),
    "sparse": sparse_member_certificate,
}


@pytest.fixture(scope="module")
def trees(tmp_path_factory):
    made = {}

    def tree(kind):
        if kind not in made:
            top = tmp_path_factory.mktemp(kind) / "tree"
            KINDS[kind](top / "Certificates" / "Certificate.korvex")
            (top / "f").write_bytes(b"x")
            made[kind] = top
        return made[kind]
    return tree


def snapshot(top):
    return sorted((p, os.lstat(os.path.join(p, n)).st_mtime_ns, os.lstat(os.path.join(p, n)).st_size)
                  for p, _ds, names in os.walk(top) for n in names)


# Ctrl-C is taken from the moment the read is called: the first one raises KeyboardInterrupt,
# those before it (too early) and after it (the parent has not yet seen the outcome) are ignored.
# The child reports where the interrupt was taken, whether the validator kept a table, and how
# many bytes it read meanwhile.
READER = r"""
import json, signal, sys
from mavelin.core.validation import CertificateValidator
from mavelin.utils import validate_certificate
step, cert, top = sys.argv[1:]
reading, taken = False, []
def on_ctrl_c(signum, frame):
    if reading and not taken:
        taken.append(frame.f_code.co_name)
        raise KeyboardInterrupt
signal.signal(signal.SIGINT, on_ctrl_c)
def bytes_read():
    with open("/proc/self/io") as f:
        return int(next(line for line in f if line.startswith("rchar:")).split()[1])
v = CertificateValidator(cert, top, chunk_size=2048, transformation_step=4)
def read():
    if step == "deserealize_certificate":
        v.deserealize_certificate()
    else:
        validate_certificate(top, cert)
print("reading", flush=True)
start = bytes_read()
try:
    reading = True
    read()
    outcome = "finished"
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
except BaseException as e:
    outcome = type(e).__name__
read_bytes = bytes_read() - start
signal.signal(signal.SIGINT, signal.SIG_IGN)  # what the parent still sends, until it has read
print(json.dumps({"outcome": outcome, "taken in": taken,
                  "table kept": hasattr(v, "_CertificateValidator__certificate_fingerprints"),
                  "bytes": read_bytes}), flush=True)
"""


def interrupt_reading(step, tree):
    """Runs the read in a child, sends Ctrl-C from its start until the outcome is reported."""
    cert = tree / "Certificates" / "Certificate.korvex"
    proc = subprocess.Popen([sys.executable, "-c", READER, step, str(cert), str(tree)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "reading\n", proc.stderr.read()
        while not select.select([proc.stdout], [], [], 0.005)[0]:
            proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 0, err
    return json.loads(out.splitlines()[-1])


# The validator's step reads the table the general way; validation by path reads it into the
# compact table, or the general way when it does not fit that form.
@pytest.mark.parametrize("step, kind", [
    ("deserealize_certificate", "general"), ("deserealize_certificate", "deflated"),
    ("deserealize_certificate", "sparse"), ("validate_certificate", "compact"),
    ("validate_certificate", "general"), ("validate_certificate", "deflated"),
    ("validate_certificate", "sparse")])
def test_ctrl_c_stops_the_read_of_the_certificate_in_the_library(trees, step, kind):
    top = trees(kind)
    before = snapshot(top)
    outcome = interrupt_reading(step, top)
    read = outcome.pop("bytes")
    # Taken in the call, with no table kept (none read whole and then dropped). Far less was read
    # of a member too large to read than all of it; of the signer's stream, less than its checked
    # pass and its decoding take together.
    assert outcome == {"outcome": "KeyboardInterrupt", "taken in": ["read"], "table kept": False}
    if kind == "sparse":
        assert read < 16 * GIB
    elif kind == "compact" and step == "validate_certificate":
        with zipfile.ZipFile(top / "Certificates" / "Certificate.korvex") as zf:
            assert read < 2 * zf.getinfo("Certificate.pk").file_size
    assert snapshot(top) == before


def bytes_read(pid):
    with open(f"/proc/{pid}/io") as f:
        return int(next(line for line in f if line.startswith("rchar:")).split()[1])


@pytest.mark.parametrize("kind", list(KINDS))
def test_ctrl_c_while_the_certificate_is_read_exits_130(trees, kind):
    top = trees(kind)
    before = snapshot(top)
    proc = subprocess.Popen([sys.executable, "-m", "mavelin.cli", "validate_certificate",
                             "-p", str(top)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        seen = []
        for line in proc.stdout:
            seen.append(line)
            if "Certificate file has been found at" in line:
                break
        if kind == "sparse":
            # Well into the member (64 GiB to check) before the Ctrl-C: the read itself must end.
            start = bytes_read(proc.pid)
            while bytes_read(proc.pid) - start < GIB // 4:
                pass
        at_signal = bytes_read(proc.pid)
        proc.send_signal(signal.SIGINT)
        if kind == "sparse":
            # The read ends rather than going on through the member.
            while proc.poll() is None:
                try:
                    assert bytes_read(proc.pid) - at_signal < 16 * GIB
                except (FileNotFoundError, ProcessLookupError, StopIteration):
                    break
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 130, (seen, out, err)
    assert "Traceback" not in err and "Aborted" not in err, err
    # Stopped in the read: nothing of the later steps and no verdict.
    assert out == "", out
    assert snapshot(top) == before
