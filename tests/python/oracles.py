# Independent reference computations (hashlib, os.walk, os.fwalk, zipfile) the behaviour tests compare against.
import contextlib
import hashlib
import math
import os
import pickle
import subprocess
import sys
import time
import zipfile
from pathlib import Path

EMPTY_DIGEST = hashlib.sha256(b"").hexdigest()


# --- file fingerprint -------------------------------------------------------------------------

def chunk_digests_of_bytes(data, chunk_size):
    """Hex SHA-256 of every chunk of `data`, ceil(len / chunk_size) chunks (none when <= 0)."""
    count = math.ceil(len(data) / chunk_size)
    return [hashlib.sha256(data[i * chunk_size:(i + 1) * chunk_size]).hexdigest()
            for i in range(count)]


def chunk_digests_of_stream(stream, size, chunk_size):
    """Counted sequential reads: ceil(size / chunk_size) reads of chunk_size bytes each."""
    return [hashlib.sha256(stream.read(chunk_size)).hexdigest()
            for _ in range(math.ceil(size / chunk_size))]


def rows_of(digests, step):
    """Interleaved rows of the hex digests, each row's hex text digested again."""
    return [[hashlib.sha256("".join(digests[s::step]).encode("ascii")).hexdigest()]
            for s in range(step)]


def fingerprint_of_bytes(data, chunk_size, step):
    return rows_of(chunk_digests_of_bytes(data, chunk_size), step)


def fingerprint_of_file(path, chunk_size=2048, step=4):
    """Fingerprint of the file at `path`; an empty one (a named pipe, say) is never opened."""
    if os.path.getsize(path) == 0:
        return fingerprint_of_bytes(b"", chunk_size, step)
    with open(path, "rb") as f:
        return fingerprint_of_bytes(f.read(), chunk_size, step)


# --- directory scan ---------------------------------------------------------------------------

@contextlib.contextmanager
def deep_recursion(limit=20000):
    """os.walk and os.fwalk recurse once per tree level."""
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(max(old, limit))
    try:
        yield
    finally:
        sys.setrecursionlimit(old)


def _folder_name(root):
    parts = Path(root).parts
    return parts[-1] if parts else Path(os.path.abspath(root)).name


def is_dangling_link(path):
    """A symbolic link whose target is missing (a link loop is not one)."""
    try:
        os.stat(path)
    except (FileNotFoundError, NotADirectoryError):
        return os.path.islink(path)
    except OSError:
        pass
    return False


def leads_outside(path, top):
    """A symbolic link whose target lies outside the tree `top` (as os.path.realpath resolves
    both)."""
    if not os.path.islink(path):
        return False
    root = os.path.realpath(top)
    target = os.path.realpath(path)
    return not (target == root or target.startswith(root.rstrip("/") + "/"))


def scan_rows(top, use_fwalk=False):
    """(key, id, node path) of every file below `top`, numbered in walk order.

    Files lying directly in a folder named "Certificates", dangling links and links out of the
    tree are left out; node
    paths are the folder names below `top` and the file name joined with "/".
    """
    top = os.fspath(top)
    rows = []
    counter = 0
    with deep_recursion():
        walker = os.fwalk(top) if use_fwalk else os.walk(top)
        for entry in walker:
            root, _dirs, files = entry[:3]
            if not files or _folder_name(root) == "Certificates":
                continue
            rel = root[len(top):].lstrip("/")
            for name in files:
                path = os.path.join(root, name)
                if is_dangling_link(path) or leads_outside(path, top):
                    continue
                counter += 1
                rows.append((f"node_id_{counter}", counter, f"{rel}/{name}" if rel else name))
    return rows


def table_rows(table):
    return [(key, node.id, node.file_path) for key, node in table.items()]


def reference_table_fingerprints(top, chunk_size=2048, step=4):
    """{node path: fingerprint} for every file that the scan finds below `top`."""
    return {path: fingerprint_of_file(os.path.join(top, path), chunk_size, step)
            for _key, _id, path in scan_rows(top)}


# --- certificate archive ----------------------------------------------------------------------

def zipfile_archive_of(payload, date_time, mode, workdir):
    """The bytes zipfile writes for a payload file with this content, time and mode."""
    payload_path = os.path.join(workdir, "payload")
    archive_path = os.path.join(workdir, "archive.zip")
    with open(payload_path, "wb") as f:
        f.write(payload)
    os.chmod(payload_path, mode & 0o7777)
    mtime = time.mktime(tuple(date_time) + (0, 0, -1))
    os.utime(payload_path, (mtime, mtime))
    with zipfile.ZipFile(archive_path, "w") as zf:
        zf.write(payload_path, arcname="Certificate.pk")
    with open(archive_path, "rb") as f:
        data = f.read()
    os.remove(payload_path)
    os.remove(archive_path)
    return data


def unzip_test(path):
    """`unzip -t` of the archive: (exit status, output)."""
    r = subprocess.run(["unzip", "-t", os.fspath(path)], capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr


def remove_tree(path):
    """Removal that copes with trees too deep or too long for the recursive helpers."""
    if os.path.lexists(path):
        subprocess.run(["chmod", "-R", "u+rwx", os.fspath(path)], capture_output=True)
        subprocess.run(["rm", "-rf", os.fspath(path)], check=True)


# --- FileNode ---------------------------------------------------------------------------------

# What the record is as a plain dataclass; executed as the module "mavelin.core.models" in an
# interpreter where that name is an ordinary module, so pickles of the two can be compared.
REFERENCE_MODELS_SOURCE = '''
from dataclasses import dataclass


@dataclass
class FileNode:
    id: int
    file_path: str

    def set_fingerprint(self, fingerprint):
        self.__hash_fingerprint = fingerprint

    def get_fingerprint(self):
        return self.__hash_fingerprint

    def __str__(self):
        return "File " + str(self.id)
'''


def sample_fingerprint(seed, step=4):
    return [[hashlib.sha256(f"{seed}/{s}".encode()).hexdigest()] for s in range(step)]


def pickle_samples(FileNode):
    """Objects built from FileNode whose protocol 4 pickles are compared byte for byte."""
    from pathlib import PurePosixPath

    def node(i, path, fingerprint=None):
        n = FileNode(i, path)
        if fingerprint is not None:
            n.set_fingerprint(fingerprint)
        return n

    twice = node(5, "twice")
    twice.set_fingerprint([["first"]])
    twice.set_fingerprint(sample_fingerprint(5))
    renamed = node(6, "old", sample_fingerprint(6))
    renamed.file_path = "new"
    shared_fp = sample_fingerprint(7)
    shared_path = "shared/path.txt"
    same = node(9, "same", sample_fingerprint(9))
    return [
        node(1, "a.txt"),
        node(2, "dir/b.txt", sample_fingerprint(2)),
        node(3, "empty fingerprint", []),
        node(0, ""),
        node(-4, "negative"),
        twice,
        renamed,
        node(2**31 - 1, "int32 max"),
        node(2**31, "beyond int32", sample_fingerprint(8)),
        node(2**64 + 3, "beyond int64"),
        node(10, "données/ファイル.txt", sample_fingerprint(10)),
        node(11, "bad\udcff\udcfename", sample_fingerprint(11)),
        node(12, "new\nline\\back"),
        node(13, PurePosixPath("as/path")),
        {"node_id_1": node(1, "x", shared_fp), "node_id_2": node(2, "y", shared_fp)},
        {"node_id_1": node(1, shared_path), "node_id_2": node(2, shared_path)},
        [same, same],
        {f"node_id_{i}": node(i, f"d{i % 3}/f{i}", sample_fingerprint(i)) for i in range(1, 1502)},
    ]


# --- a certificate as the host reads it ---------------------------------------------------------

def certificate_content(top):
    """[(key, id, node path, fingerprint)] of the certificate below `top`, read with zipfile
    (CRC checked) and pickle; raises when it is missing or damaged."""
    archive = os.path.join(os.fspath(top), "Certificates", "Certificate.korvex")
    with zipfile.ZipFile(archive) as zf:
        assert zf.namelist() == ["Certificate.pk"]
        assert zf.testzip() is None
        table = pickle.loads(zf.read("Certificate.pk"))
    return [(key, node.id, node.file_path, vars(node).get("_FileNode__hash_fingerprint"))
            for key, node in table.items()]


def expected_certificate(top):
    """What certificate_content() gives for a correct certificate of `top` as it is now."""
    prints = reference_table_fingerprints(top)
    return [(key, id_, path, prints[path]) for key, id_, path in scan_rows(top)]
