# Writing the certificate into a tree someone else controls: links, pipes and hard links at the
# certificate's names, concurrent signers, leftovers of killed runs, unreadable and swapped folders.
import errno
import os
import stat
import threading
import time
from pathlib import Path

import pytest

import mavelin.utils
from mavelin.core.file_managing import FileManager
from oracles import certificate_content, expected_certificate
from support import run_cli


def small_tree(top, files=3):
    top.mkdir(parents=True, exist_ok=True)
    for i in range(files):
        (top / f"f{i}").write_bytes(os.urandom(3000 + i))
    (top / "sub").mkdir(exist_ok=True)
    (top / "sub" / "inner").write_bytes(b"inner")
    return top


def sign(top, prefix=()):
    run = run_cli("sign_folder", "-p", str(top), prefix=prefix, timeout=60)
    assert "Traceback" not in run.stdout + run.stderr, run.stdout + run.stderr
    return run


def errors_of(run):
    return [t for t in run.triples() if t[0] in ("ERROR", "WARNING")]


def certificate_folder(top):
    return top / "Certificates"


# --- names at the payload's place -----------------------------------------------------------

def test_a_link_or_hard_link_at_the_payload_name_is_never_written_through(tmp_path, without_dac_override):
    top = small_tree(tmp_path / "tree")
    victim = tmp_path / "victim"
    victim.write_bytes(b"precious")
    certificate_folder(top).mkdir()
    os.symlink(victim, certificate_folder(top) / "Certificate.pk")
    run = sign(top, without_dac_override)
    assert run.returncode == 0
    assert victim.read_bytes() == b"precious"
    assert certificate_content(top) == expected_certificate(top)
    # The leftover name is gone (the link itself, never its target).
    assert not os.path.lexists(certificate_folder(top) / "Certificate.pk")

    os.link(victim, certificate_folder(top) / "Certificate.pk")
    assert sign(top, without_dac_override).returncode == 0
    assert victim.read_bytes() == b"precious"
    assert certificate_content(top) == expected_certificate(top)

    # The step-by-step methods refuse the link rather than follow it.
    os.symlink(victim, certificate_folder(top) / "Certificate.pk")
    manager = FileManager(str(top), 2048, 4)
    manager._parse_directory()
    manager._generate_fingerprints()
    with pytest.raises(OSError) as info:
        manager._save_certificate()
    assert info.value.errno == errno.ELOOP
    assert victim.read_bytes() == b"precious"


def test_a_named_pipe_at_the_payload_name_neither_hangs_nor_is_archived(tmp_path):
    top = small_tree(tmp_path / "tree")
    certificate_folder(top).mkdir()
    os.mkfifo(certificate_folder(top) / "Certificate.pk")
    assert sign(top).returncode == 0  # a hang would end in the run's timeout
    assert certificate_content(top) == expected_certificate(top)

    manager = FileManager(str(top), 2048, 4)
    manager._parse_directory()
    manager._generate_fingerprints()
    os.mkfifo(certificate_folder(top) / "Certificate.pk")
    manager._save_certificate()  # the pipe is replaced by the new payload, never opened
    assert stat.S_ISREG(os.lstat(manager._pickle_file_path).st_mode)
    os.remove(manager._pickle_file_path)
    os.mkfifo(manager._pickle_file_path)
    before = (certificate_folder(top) / "Certificate.korvex").read_bytes()
    with pytest.raises(OSError) as info:
        manager._archive_certificate()  # a pipe put there afterwards is refused, not read
    assert info.value.errno == errno.EINVAL
    assert (certificate_folder(top) / "Certificate.korvex").read_bytes() == before


# --- links at the certificate and at its folder ---------------------------------------------

@pytest.mark.parametrize("where", ["archive", "folder"])
def test_a_link_at_the_certificate_or_its_folder_is_refused(tmp_path, without_dac_override, where):
    top = small_tree(tmp_path / "tree")
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "Certificate.korvex").write_bytes(b"not ours")
    if where == "archive":
        certificate_folder(top).mkdir()
        link = certificate_folder(top) / "Certificate.korvex"
        os.symlink(outside / "Certificate.korvex", link)
    else:
        link = certificate_folder(top)
        os.symlink(outside, link)
    run = sign(top, without_dac_override)
    assert run.returncode == 1
    (level, _, message), = errors_of(run)
    assert level == "ERROR"
    assert "Refusing to write the certificate through a symbolic link" in message
    assert str(link) in message
    assert sorted(os.listdir(outside)) == ["Certificate.korvex"]
    assert (outside / "Certificate.korvex").read_bytes() == b"not ours"
    assert os.path.islink(link)
    with pytest.raises(OSError) as info:
        mavelin.utils.sign_folder(str(top), "silent")
    assert info.value.errno == errno.ELOOP


# --- killed runs and concurrent signers ------------------------------------------------------

STALE = [".Certificate.korvex.0123456789abcdef.tmp", ".Certificate.pk.0123456789abcdef.tmp"]
NOT_OURS = [".Certificate.korvex.notatag.tmp", ".Certificate.pk.0123456789ABCDEF.tmp", "notes.txt"]
STALE_LINK = ".Certificate.pk.fedcba9876543210.tmp"


def leave_leftovers(folder, payload=True):
    folder.mkdir(exist_ok=True)
    for name in STALE + (["Certificate.pk"] if payload else []):
        (folder / name).write_bytes(b"left by a killed run")
    for name in NOT_OURS:
        (folder / name).write_bytes(b"someone else's")
    os.symlink("/etc/passwd", folder / STALE_LINK)


def sign_step_by_step(top, leave):
    leave()
    manager = FileManager(str(top), 2048, 4)
    manager._parse_directory()
    manager._generate_fingerprints()
    manager._save_certificate()
    manager._archive_certificate()


def archive_step_only(top, leave):
    # The payload of a finished _save_certificate, leftovers, then the archive step alone.
    manager = FileManager(str(top), 2048, 4)
    manager._parse_directory()
    manager._generate_fingerprints()
    manager._save_certificate()
    leave(payload=False)
    manager._archive_certificate()


def sign_command(top, leave):
    leave()
    assert sign(top).returncode == 0


def sign_procedure(top, leave):
    leave()
    mavelin.utils.sign_folder(str(top), "silent")


SIGNINGS = {"command": sign_command, "procedure": sign_procedure,
            "step by step": sign_step_by_step, "archive step": archive_step_only}


@pytest.mark.parametrize("signing", SIGNINGS)
def test_leftovers_of_killed_runs_are_cleared_by_every_signing(tmp_path, signing):
    top = small_tree(tmp_path / "tree")
    folder = certificate_folder(top)
    SIGNINGS[signing](top, lambda payload=True: leave_leftovers(folder, payload))
    # Regular files of our own temporary names and the payload go; links and others' files stay.
    assert sorted(os.listdir(folder)) == sorted(["Certificate.korvex", STALE_LINK, *NOT_OURS])
    assert certificate_content(top) == expected_certificate(top)


@pytest.mark.parametrize("signing", ["procedure", "archive step"])
def test_temporaries_of_a_writer_at_work_are_kept(tmp_path, signing):
    # A writer at work holds the folder's lock (shared among writers): its temporaries stay.
    import fcntl
    top = small_tree(tmp_path / "tree")
    folder = certificate_folder(top)
    folder.mkdir()
    live = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(live, fcntl.LOCK_SH)
        SIGNINGS[signing](top, lambda payload=True: leave_leftovers(folder, payload))
    finally:
        os.close(live)
    assert set(STALE) <= set(os.listdir(folder))
    assert certificate_content(top) == expected_certificate(top)


def readable_descriptors_of(folder, besides):
    """This process's descriptors open on `folder` for reading (not O_PATH), but `besides`."""
    want = os.stat(folder)
    found = []
    for name in os.listdir("/proc/self/fd"):
        try:
            if int(name) == besides or not os.path.samestat(os.stat(f"/proc/self/fd/{name}"), want):
                continue
            with open(f"/proc/self/fdinfo/{name}") as info:
                flags = int(next(line for line in info if line.startswith("flags:")).split()[1], 8)
        except (FileNotFoundError, StopIteration):
            continue
        if not flags & 0o10000000:  # O_PATH
            found.append(int(name))
    return found


@pytest.mark.parametrize("target", ["certificate", "output"])
def test_a_writer_waits_for_the_folders_lock_without_holding_up_other_threads(tmp_path, target):
    # A clean-up holds the folder's lock exclusively; the signing neither writes there meanwhile
    # nor keeps the interpreter lock while it waits.
    import fcntl
    top = small_tree(tmp_path / "tree")
    folder = certificate_folder(top) if target == "certificate" else tmp_path / "shared"
    folder.mkdir()
    output = str(folder / "cert.korvex") if target == "output" else None
    holder = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    fcntl.flock(holder, fcntl.LOCK_EX)
    finished = threading.Event()
    seen_while_locked = []

    def cleanup_that_takes_its_time():
        # The writer opens the folder for its lock: from then on it may only wait.
        while not finished.is_set() and not readable_descriptors_of(folder, holder):
            time.sleep(0.001)
        for _ in range(10_000):  # bytecode: runs only while the signing has let go of the lock
            pass
        seen_while_locked.extend(os.listdir(folder))
        os.close(holder)

    other = threading.Thread(target=cleanup_that_takes_its_time)
    other.start()
    try:
        mavelin.utils.sign_folder(str(top), "silent", output=output)
    finally:
        finished.set()
        other.join()
    assert seen_while_locked == []
    assert os.listdir(folder) == ["cert.korvex" if output else "Certificate.korvex"]


def test_concurrent_signers_each_leave_a_complete_correct_certificate(tmp_path):
    import subprocess
    import sys
    top = small_tree(tmp_path / "tree", files=40)
    (top / "big").write_bytes(os.urandom(3 << 20))
    expected = expected_certificate(top)
    for _round in range(8):
        procs = [subprocess.Popen([sys.executable, "-m", "mavelin.cli", "sign_folder", "-p", str(top)],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE) for _ in range(3)]
        for p in procs:
            out, err = p.communicate(timeout=60)
            assert p.returncode == 0, (out, err)
            assert b"Certificate generated successfully!" in out
        assert certificate_content(top) == expected
        assert sorted(os.listdir(certificate_folder(top))) == ["Certificate.korvex"]

    failures = []

    def signer():
        try:
            mavelin.utils.sign_folder(str(top), "silent")
        except BaseException as exc:  # noqa: B036 - collected for the assertion below
            failures.append(exc)

    for _round in range(8):
        threads = [threading.Thread(target=signer) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert failures == []
        assert certificate_content(top) == expected
        assert sorted(os.listdir(certificate_folder(top))) == ["Certificate.korvex"]


# --- folders that cannot be read, and folders swapped after the scan -------------------------

def test_an_unreadable_folder_fails_signing_and_counts_at_validation(tmp_path, without_dac_override):
    top = small_tree(tmp_path / "tree")
    (top / "private").mkdir()
    (top / "private" / "secret").write_bytes(b"unchecked")
    assert sign(top).returncode == 0
    before = (certificate_folder(top) / "Certificate.korvex").read_bytes()
    os.chmod(top / "private", 0)
    try:
        run = sign(top, without_dac_override)
        assert run.returncode == 1
        assert errors_of(run) == [("ERROR", "mavelin.utils.sign_folder",
                                   f"Folder private can't be read: {os.strerror(errno.EACCES)}")]
        assert (certificate_folder(top) / "Certificate.korvex").read_bytes() == before

        run = run_cli("validate_certificate", "-p", str(top), prefix=without_dac_override, timeout=60)
        assert run.returncode == 1
        messages = [m for _l, _n, m in run.triples()]
        assert f"Folder private can't be read: {os.strerror(errno.EACCES)}" in messages
        assert "Validation failed" in messages
        assert "Validation successfull" not in messages
    finally:
        os.chmod(top / "private", 0o755)


def test_a_folder_swapped_for_a_link_after_the_scan_is_not_followed(tmp_path):
    top = small_tree(tmp_path / "tree")
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "inner").write_bytes(b"outside the tree")
    manager = FileManager(str(top), 2048, 4)
    manager._parse_directory()
    (top / "sub").rename(tmp_path / "moved")
    os.symlink(outside, top / "sub")
    manager._generate_fingerprints()
    (path, exc), = manager._fingerprint_errors
    assert path == "sub/inner" and exc.errno == errno.ELOOP
    assert all("_FileNode__hash_fingerprint" not in vars(n) for n in manager._file_nodes.values())

    os.remove(top / "sub")
    (tmp_path / "moved").rename(top / "sub")
    os.symlink(top, tmp_path / "tree-link")  # the top itself may be reached by a link
    assert mavelin.utils.sign_folder(str(tmp_path / "tree-link"), "silent") is None
    assert certificate_content(top) == expected_certificate(top)


def test_the_certificate_folder_is_synced_after_the_rename(tmp_path):
    import shutil
    import subprocess
    import sys
    strace = shutil.which("strace")
    if not strace:
        pytest.skip("strace is not installed")
    top = small_tree(tmp_path / "tree")
    log = tmp_path / "trace"
    r = subprocess.run([strace, "-f", "-o", str(log), "-e", "trace=renameat,renameat2,rename,fsync,openat",
                        sys.executable, "-m", "mavelin.cli", "sign_folder", "-p", str(top), "-m", "silent"],
                       capture_output=True, timeout=120)
    if r.returncode != 0 and b"ptrace" in r.stderr:
        pytest.skip("tracing is not permitted here")
    assert r.returncode == 0
    lines = log.read_text().splitlines()
    renames = [i for i, line in enumerate(lines) if "rename" in line and "Certificate.korvex" in line]
    assert renames
    after = lines[renames[-1]:]
    folder_fds = {line.split("= ")[-1].strip() for line in lines
                  if "openat(" in line and "O_DIRECTORY" in line and '"."' in line}
    assert any("fsync(" in line and line.split("fsync(")[1].split(")")[0] in folder_fds for line in after)
