# Trees built to trouble a signer: huge, deep, oddly named, linked, changing under the run, on a
# full disk. Each gives a defined result: never a hang, a crash, a traceback or a lost certificate.
import contextlib
import errno
import os
import subprocess
import sys
import time

import pytest

from oracles import certificate_content, expected_certificate
from support import run_cli


@contextlib.contextmanager
def tmpfs(mount_point, size):
    """A fresh tmpfs at `mount_point` (None when mounting is not permitted), dropped at the end."""
    mount_point.mkdir()
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(mount_point)],
                       capture_output=True, text=True)
    try:
        yield mount_point if r.returncode == 0 else None
    finally:
        if r.returncode == 0:
            subprocess.run(["umount", "-l", str(mount_point)], capture_output=True)


@pytest.fixture
def scratch(tmp_path):
    """A folder for big trees: a tmpfs that is dropped at once, else a folder of tmp_path
    (on some disks, creating and removing 10,000 nested folders takes many seconds)."""
    with tmpfs(tmp_path / "mnt", "256m") as mount_point:
        yield mount_point or tmp_path


def cli(command, top, **kw):
    run = run_cli(command, "-p", os.fsdecode(top), timeout=300, **kw)
    assert "Traceback" not in run.stdout + run.stderr, run.stdout[-2000:] + run.stderr
    assert run.returncode in (0, 1), run.returncode
    return run


def sign_and_validate(top):
    signed = cli("sign_folder", top)
    assert signed.returncode == 0, signed.stdout[-2000:]
    assert certificate_content(top) == expected_certificate(top)
    validated = cli("validate_certificate", top)
    assert validated.returncode == 0, validated.stdout[-2000:]
    return signed


def test_many_entries_in_one_folder(scratch):
    top = scratch / "wide"
    top.mkdir()
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for i in range(100_000):
            os.close(os.open(f"f{i:06d}", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd))
    finally:
        os.close(fd)
    run = cli("sign_folder", top)
    assert run.returncode == 0 and "Files found: 100000" in run.stdout
    content = certificate_content(top)
    assert len(content) == 100_000 and all(fp for *_rest, fp in content)
    assert cli("validate_certificate", top).returncode == 0


def remove_chain(top, name):
    """Removes top/name/name/... of any depth: down by descriptors, then up through ".."."""
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    depth = 0
    while name in os.listdir(fd):
        inner = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd, depth = inner, depth + 1
    for _ in range(depth):
        for entry in os.listdir(fd):
            os.remove(entry, dir_fd=fd)
        parent = os.open("..", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = parent
        os.rmdir(name, dir_fd=fd)
    os.close(fd)


def test_ten_thousand_levels_of_nesting(scratch):
    top = scratch / "deep"
    top.mkdir()
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for _ in range(10_000):
            os.mkdir("d", dir_fd=fd)
            inner = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = inner
        leaf = os.open("leaf", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
        os.write(leaf, b"at the bottom")
        os.close(leaf)
    finally:
        os.close(fd)
    (top / "top-file").write_bytes(b"near the top")
    assert cli("sign_folder", top).returncode == 0
    (key1, _, path1, _), (key2, _, path2, fp2) = certificate_content(top)
    assert path1 == "top-file" and path2 == "/".join(["d"] * 10_000 + ["leaf"])
    assert cli("validate_certificate", top).returncode == 0
    remove_chain(top, "d")


def test_long_odd_and_undecodable_names_and_hard_links(tmp_path):
    top = tmp_path / "names"
    top.mkdir()
    raw = os.fsencode(top)
    names = [b"n" * 255, b"tab\there", b"new\nline", b"bad\xff\xfeutf8", b"\xe2\x80\xa8sep",
             b"x" * 254 + b"\xff"]
    (top / ("D" * 255)).mkdir()
    for name in names:
        with open(os.path.join(raw, name), "wb") as f:
            f.write(name * 3)
        with open(os.path.join(raw, b"D" * 255, name), "wb") as f:
            f.write(name)
    os.link(os.path.join(raw, names[0]), os.path.join(raw, b"hard-link"))
    sign_and_validate(top)
    content = {path: fp for _k, _i, path, fp in certificate_content(top)}
    assert content["hard-link"] == content["n" * 255]
    # A change shows up with the name escaped, on one line.
    with open(os.path.join(raw, names[2]), "ab") as f:
        f.write(b"!")
    run = cli("validate_certificate", top)
    assert run.returncode == 1
    assert any("new\\nline" in m for _l, _n, m in run.triples())
    assert len(run.stdout.splitlines()) == run.stdout.count("\n")


def test_link_loops(tmp_path):
    top = tmp_path / "loops"
    top.mkdir()
    (top / "plain").write_bytes(b"plain")
    os.symlink("up-loop", top / "up-loop")
    os.symlink(".", top / "self")  # a link to a folder is not entered
    (top / "sub").mkdir()
    os.symlink("..", top / "sub" / "parent")
    run = cli("sign_folder", top)
    # The file loop cannot be opened: a failure named in one ERROR line, no certificate.
    assert run.returncode == 1
    errors = [m for level, _n, m in run.triples() if level == "ERROR"]
    assert errors == [f"File up-loop can't be read: {os.strerror(errno.ELOOP)}"]
    assert not (top / "Certificates").exists()
    os.remove(top / "up-loop")
    sign_and_validate(top)


def mutator(code, *args):
    return subprocess.Popen([sys.executable, "-c", code, *map(str, args)])


CHURN = """
import os, sys, time, shutil
top = sys.argv[1]
end = time.monotonic() + float(sys.argv[2])
i = 0
while time.monotonic() < end:
    i += 1
    big = os.path.join(top, "growing")
    with open(big, "ab") as f:
        f.write(os.urandom(1 << 20))
    if i % 3 == 0:
        os.truncate(big, (i * 7919) % (4 << 20))
    victim = os.path.join(top, "replaced")
    tmp = victim + ".new"
    with open(tmp, "wb") as f:
        f.write(os.urandom(i % 5000))
    os.replace(tmp, victim)
    gone = os.path.join(top, f"gone{i % 50}")
    if os.path.exists(gone):
        os.remove(gone)
    else:
        open(gone, "wb").close()
    folder = os.path.join(top, "vanishing", f"v{i % 20}")
    if os.path.isdir(folder):
        shutil.rmtree(folder, ignore_errors=True)
    else:
        os.makedirs(os.path.join(folder, "inner"), exist_ok=True)
        open(os.path.join(folder, "inner", "f"), "wb").close()
"""


def test_a_tree_that_changes_while_it_is_signed(tmp_path):
    top = tmp_path / "churn"
    (top / "vanishing").mkdir(parents=True)
    for i in range(200):
        (top / f"stable{i}").write_bytes(os.urandom(3000))
    outcomes = set()
    for _round in range(3):
        churn = mutator(CHURN, top, 2)
        try:
            time.sleep(0.2)
            run = cli("sign_folder", top)
        finally:
            churn.wait(timeout=60)
        outcomes.add(run.returncode)
        if run.returncode == 0:
            # Whatever the files held at their reading: the certificate is complete and loads.
            assert len(certificate_content(top)) >= 200
        else:
            errors = [m for level, _n, m in run.triples() if level == "ERROR"]
            assert errors and all("can't be read" in m for m in errors), errors
    assert cli("sign_folder", top).returncode == 0
    assert certificate_content(top) == expected_certificate(top)


@pytest.fixture
def tiny_disk(tmp_path):
    with tmpfs(tmp_path / "tiny", "64k") as mount_point:
        if mount_point is None:
            pytest.skip("cannot mount a small tmpfs here")
        yield mount_point


def test_a_full_disk_while_the_certificate_is_written(tiny_disk):
    top = tiny_disk
    (top / "a").write_bytes(b"a")
    assert cli("sign_folder", top).returncode == 0
    old = (top / "Certificates" / "Certificate.korvex").read_bytes()
    # Many empty files: little data, a payload too large for what is left.
    for i in range(400):
        (top / f"{i:0100d}").touch()
    run = cli("sign_folder", top)
    assert run.returncode == 1
    errors = [m for level, _n, m in run.triples() if level == "ERROR"]
    assert len(errors) == 1 and os.strerror(errno.ENOSPC) in errors[0]
    assert (top / "Certificates" / "Certificate.korvex").read_bytes() == old
    assert os.listdir(top / "Certificates") == ["Certificate.korvex"]
