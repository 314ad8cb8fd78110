# Signing from the engine's compact node table gives what signing through FileManager step by step
# gives (log lines, certificate bytes, report, exit), holds no Python object per file, and lets
# the caller's other threads run while it writes.
import errno
import json
import os
import pickle
import threading
import tracemalloc
import zipfile

import pytest

import mavelin.core.file_managing as file_managing
import mavelin.utils
from oracles import certificate_content, expected_certificate, zipfile_archive_of
from support import unix_socket
from validation_helpers import capture_logs, make_tree


class StepByStep(file_managing.FileManager):
    """FileManager under a name of its own: sign_folder then drives it step by step."""


def sign_in_process(top, tmp_path, monkeypatch, step_by_step, **options):
    """(exit status, log records but the elapsed time, report without its seconds, payload)."""
    report = tmp_path / f"report-{step_by_step}.json"
    if report.exists():
        report.unlink()
    with monkeypatch.context() as patch:
        if step_by_step:
            patch.setattr(file_managing, "FileManager", StepByStep)
        with capture_logs() as cap:
            try:
                status = mavelin.utils.sign_folder(str(top), report=str(report), **options)
            except SystemExit as stop:
                status = stop.code
    logs = [r for r in cap.records if not r[2].startswith("Elapsed time: ")]
    document = json.loads(report.read_text()) if report.exists() else None
    if document:
        del document["counts"]["seconds"]
    archive = top / "Certificates" / "Certificate.korvex"
    if not archive.exists():
        return status, logs, document, None
    # The member's time is the run's: the rest of the archive is what zipfile writes.
    with zipfile.ZipFile(archive) as zf:
        info, = zf.infolist()
        payload = zf.read(info)
    work = tmp_path / "work"
    work.mkdir(exist_ok=True)
    assert archive.read_bytes() == zipfile_archive_of(payload, info.date_time,
                                                      info.external_attr >> 16, work)
    return status, logs, document, payload


def odd_tree(top):
    make_tree(top, {"a.txt": "alpha", "empty": b"", "d/e/deep.bin": os.urandom(70_000),
                    "d/Certificates/kept-out": "x", "Certificates/user-file": "y",
                    "q/Certificates/sub/inside": "z", "sp ace/é-ü": os.urandom(2049),
                    "line\nbreak": "n"})
    (top / os.fsdecode(b"raw-\xff\xfe")).write_bytes(b"not utf-8 name")
    return top


def unreadable(top):
    os.symlink("loop", top / "loop")
    return top


def special_files(top):
    """Links whose target is missing (not certified), a socket and a named pipe (empty files)."""
    os.symlink("nowhere", top / "d" / "dangling")
    os.symlink("a.txt/below", top / "below-a-file")
    unix_socket(top / "d" / "e" / "socket")
    os.mkfifo(top / "pipe")
    return top


@pytest.mark.parametrize("damage", [None, unreadable, special_files],
                         ids=["signed", "unreadable-files", "special-files"])
def test_both_ways_of_signing_agree(tmp_path, monkeypatch, damage):
    top = odd_tree(tmp_path / "tree")
    if damage:
        damage(top)
    compact = sign_in_process(top, tmp_path, monkeypatch, False)
    if compact[3] is not None:
        os.remove(top / "Certificates" / "Certificate.korvex")
    managed = sign_in_process(top, tmp_path, monkeypatch, True)
    assert compact == managed
    status, logs, document, payload = compact
    if damage is unreadable:
        assert status == 1 and payload is None
        errors = sorted(m for lv, _n, m in logs if lv == "ERROR")
        assert errors == [f"File loop can't be read: {os.strerror(errno.ELOOP)}"]
        assert document["passed"] is False and document["counts"]["failed_files"] == 1
        return
    warnings = sorted(m for lv, _n, m in logs if lv == "WARNING" and m.startswith("Link "))
    links = ["below-a-file", "d/dangling"] if damage else []
    assert warnings == [f"Link {p} is not certified: its target is missing." for p in links]
    assert sorted(document["uncertified_links"]) == links
    assert status is None, logs
    manager = file_managing.FileManager(str(top), 2048, 4)
    manager._parse_directory()
    manager._generate_fingerprints()
    assert payload == pickle.dumps(manager._file_nodes, 4)
    assert certificate_content(top) == expected_certificate(top)
    assert document["counts"]["files"] == len(expected_certificate(top))
    assert sorted(document["uncertified_folders"]) == ["Certificates", "d/Certificates"]
    assert sorted(os.listdir(top / "Certificates")) == ["Certificate.korvex", "user-file"]


def test_both_ways_refuse_an_empty_tree_alike(tmp_path, monkeypatch):
    top = tmp_path / "tree"
    (top / "Certificates").mkdir(parents=True)
    compact = sign_in_process(top, tmp_path, monkeypatch, False)
    assert compact == sign_in_process(top, tmp_path, monkeypatch, True)
    assert compact[0] == 1 and compact[1][-1][2] == "No files were found." and compact[3] is None


def test_no_python_object_per_file(tmp_path):
    top = tmp_path / "tree"
    count = 10_000
    for d in range(10):
        folder = top / f"folder-{d:02d}"
        folder.mkdir(parents=True)
        for f in range(count // 10):
            with open(folder / f"file-{f:05d}.bin", "wb") as out:
                out.write(b"x" * (f % 7))
    tracemalloc.start()
    try:
        mavelin.utils.sign_folder(str(top), "silent")
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # Step by step the run holds a record, a path and four digests as Python objects per file,
    # well over 1 KB each (about 1,270 bytes); the compact run's Python objects do not grow with
    # the tree.
    assert peak < 20 * count, peak
    assert len(certificate_content(top)) == count


def test_other_threads_run_while_the_payload_is_written(tmp_path):
    # Paths of about 3,400 bytes make a payload of some 15 MB from a few thousand files.
    deep = tmp_path.joinpath("tree", *[f"{i:02d}" + "d" * 200 for i in range(16)])
    deep.mkdir(parents=True)
    for i in range(4000):
        (deep / (f"{i:04d}" + "f" * 200)).touch()
    folder = tmp_path / "tree" / "Certificates"
    folder.mkdir()
    seen = []  # sizes of the new archive's temporary, as another thread saw them
    done = threading.Event()

    def watch():
        while not done.is_set():
            for name in os.listdir(folder):
                if name.endswith(".tmp"):
                    try:
                        seen.append(os.stat(folder / name).st_size)
                    except FileNotFoundError:
                        pass

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        mavelin.utils.sign_folder(str(tmp_path / "tree"), "silent")
    finally:
        done.set()
        watcher.join()
    # Holding the interpreter lock, the signing would let the watcher run only once the whole
    # payload was in (the central directory, well under 1 KiB, is all that comes after it).
    final = (folder / "Certificate.korvex").stat().st_size
    assert any(size < final - 1024 for size in seen), (final, seen[:5])
