# Signing end to end: log lines, exit statuses, the certificate archive and its payload, and failure handling.
import datetime
import errno
import logging
import os
import pickle
import re
import sys
import threading
import tracemalloc
import zipfile
from pathlib import Path, PurePosixPath

import pytest

import mavelin.utils
from mavelin.core.file_managing import FileManager
from mavelin.core.models import FileNode
from oracles import (EMPTY_DIGEST, certificate_content, fingerprint_of_file, sample_fingerprint, scan_rows, table_rows, unzip_test,
                     zipfile_archive_of)
from support import PipeRescue, run_cli, run_process

SIGN_LOGGER = "mavelin.utils.sign_folder"
ELAPSED = re.compile(r"(?:(\d+) days?, )?(\d+):(\d\d):(\d\d)(?:\.(\d{6}))?")
STAMP = "%Y-%m-%d %H:%M:%S,%f"


# --- helpers --------------------------------------------------------------------------------------

def varied_tree(top):
    """Files of many sizes and names, folders, links, a pipe and a certificate-folder subtree."""
    top.mkdir(parents=True, exist_ok=True)
    raw = os.fsencode(top)
    blobs = {
        b"empty": b"",
        b"one": b"1",
        b"chunk-1": b"a" * 2047,
        b"chunk": b"b" * 2048,
        b"chunk+1": b"c" * 2049,
        b"multi.bin": os.urandom(3 * 1024 * 1024 + 17),
        "données/ファイル.txt".encode(): "é".encode() * 999,
        b"nested/deeper/still/leaf": b"leaf",
        b"new\nline": b"newline",
        b"inv\xffalid/na\xfeme": b"bytes",
        b"Certificates/old/e.txt": b"kept",
        b"sub/Certificates/skipped": b"skipped",
    }
    for rel, data in blobs.items():
        path = os.path.join(raw, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    os.symlink("one", top / "link-to-file")
    os.symlink("nested", top / "link-to-folder")
    os.mkfifo(top / "pipe")
    return top


def read_certificate(top):
    """(archive bytes, member info, payload, decoded table) of the certificate below `top`."""
    archive = Path(top, "Certificates", "Certificate.korvex")
    raw = archive.read_bytes()
    with zipfile.ZipFile(archive) as zf:
        infos = zf.infolist()
        assert [i.filename for i in infos] == ["Certificate.pk"]
        assert infos[0].compress_type == zipfile.ZIP_STORED and not infos[0].flag_bits & 1
        assert zf.testzip() is None
        payload = zf.read("Certificate.pk")
    return raw, infos[0], payload, pickle.loads(payload)


def check_certificate(top, workdir, chunk_size=2048, step=4):
    """The certificate holds the walk's table with hashlib fingerprints, in zipfile's exact bytes."""
    raw, info, payload, table = read_certificate(top)
    assert type(table) is dict
    assert table_rows(table) == scan_rows(top)
    for node in table.values():
        assert type(node) is FileNode
        assert node.get_fingerprint() == fingerprint_of_file(os.path.join(top, node.file_path), chunk_size, step)
    assert pickle.dumps(table, 4) == payload
    workdir.mkdir(exist_ok=True)
    assert raw == zipfile_archive_of(payload, info.date_time, info.external_attr >> 16, workdir)
    status, output = unzip_test(Path(top, "Certificates", "Certificate.korvex"))
    assert status == 0, output
    assert not Path(top, "Certificates", "Certificate.pk").exists()
    return raw, info, table


def snapshot(top):
    """Every entry below `top`: its mode and, for files, content and modification time."""
    state = {}
    for root, dirs, names in os.walk(top):
        for name in dirs + names:
            path = os.path.join(root, name)
            st = os.lstat(path)
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, "rb") as f:
                    state[os.path.relpath(path, top)] = (st.st_mode, st.st_mtime_ns, f.read())
            else:
                state[os.path.relpath(path, top)] = (st.st_mode,)
    return state


# varied_tree's folder sub/Certificates holds a file that is left out: one warning after the scan.
UNCERTIFIED = ("WARNING", SIGN_LOGGER,
               "Files in sub/Certificates are not certified: the folder is named Certificates.")


def without_uncertified(triples):
    """The lines without the warning about sub/Certificates, which must come once, after the scan
    (the first line of a silent run, the third of the others)."""
    if UNCERTIFIED not in triples:
        return triples
    assert triples.count(UNCERTIFIED) == 1 and triples.index(UNCERTIFIED) in (0, 2), triples
    return [t for t in triples if t != UNCERTIFIED]


def expected_lines(dir_arg, count, mode="default"):
    return [
        ("INFO", SIGN_LOGGER, f"Initializing sigsnature creation process. Mode: {mode}"),
        ("INFO", SIGN_LOGGER, f"Parsing directory {dir_arg}..."),
        ("INFO", SIGN_LOGGER, f"Files found: {count}"),
        ("INFO", SIGN_LOGGER, "Generating fingerprints..."),
        ("INFO", SIGN_LOGGER, "Saving certificate..."),
    ]


def parse_elapsed(text):
    m = ELAPSED.fullmatch(text)
    assert m, text
    days, hours, minutes, seconds, micro = m.groups()
    span = datetime.timedelta(days=int(days or 0), hours=int(hours), minutes=int(minutes),
                              seconds=int(seconds), microseconds=int(micro or 0))
    assert str(span) == text
    return span


def check_success_lines(run, dir_arg, count, mode, started, ended):
    assert (run.returncode, run.stderr) == (0, "")
    records = run.records
    triples = without_uncertified(run.triples())
    assert triples[:5] == expected_lines(dir_arg, count, mode)
    assert [t[:2] for t in triples[5:]] == [("INFO", SIGN_LOGGER)] * 2
    assert triples[6][2] == "Certificate generated successfully!"
    assert triples[5][2].startswith("Elapsed time: ")
    elapsed = parse_elapsed(triples[5][2][len("Elapsed time: "):])
    assert datetime.timedelta(0) <= elapsed <= ended - started
    stamps = [datetime.datetime.strptime(r.time, STAMP) for r in records]
    assert stamps == sorted(stamps)
    assert started - datetime.timedelta(milliseconds=1) <= stamps[0] and stamps[-1] <= ended


def sign(top, *extra, **kw):
    started = datetime.datetime.now()
    run = run_cli("sign_folder", "-p", top, *extra, **kw)
    return run, started, datetime.datetime.now()


# --- successful runs --------------------------------------------------------------------------------

def test_sign_command_logs_each_step_and_writes_the_certificate(tmp_path):
    top = varied_tree(tmp_path / "tree")
    run, started, ended = sign(str(top), timeout=120)
    count = len(scan_rows(top))
    check_success_lines(run, str(top), count, "default", started, ended)
    _, info, table = check_certificate(top, tmp_path / "work")
    assert len(table) == count
    member_time = datetime.datetime(*info.date_time)
    assert started.replace(microsecond=0) - datetime.timedelta(seconds=2) <= member_time <= ended
    assert sorted(os.listdir(top / "Certificates")) == ["Certificate.korvex", "old"]
    pipe, = [n for n in table.values() if n.file_path == "pipe"]
    assert pipe.get_fingerprint() == [[EMPTY_DIGEST]] * 4


@pytest.mark.parametrize("mode", ["Silent", "SILENT", "loud", "", "default", "mode with spaces"])
def test_any_mode_but_silent_behaves_like_default(tmp_path, mode):
    top = tmp_path / "tree"
    top.mkdir()
    (top / "a").write_bytes(b"a" * 5000)
    run, started, ended = sign(str(top), "--mode", mode)
    check_success_lines(run, str(top), 1, mode, started, ended)
    check_certificate(top, tmp_path / "work")


def test_silent_mode_logs_no_info_and_writes_the_same_table(tmp_path):
    top = varied_tree(tmp_path / "tree")
    run, _, _ = sign(str(top), "-m", "silent")
    assert (run.returncode, run.stderr, run.triples()) == (0, "", [UNCERTIFIED])
    _, _, silent_table = check_certificate(top, tmp_path / "work")
    run, _, _ = sign(str(top))
    assert run.returncode == 0
    _, _, default_table = check_certificate(top, tmp_path / "work")
    assert pickle.dumps(silent_table, 4) == pickle.dumps(default_table, 4)


def test_relative_and_dotted_directory_arguments(tmp_path):
    top = tmp_path / "tree"
    (top / "x").mkdir(parents=True)
    (top / "x" / "f").write_bytes(b"f")
    (top / "g").write_bytes(b"g")
    os.symlink("tree", tmp_path / "link-to-tree")
    for arg, cwd in [(".", top), ("tree", tmp_path), ("tree/", tmp_path), ("./tree/x/..", tmp_path),
                     ("link-to-tree", tmp_path)]:
        run, started, ended = sign(arg, cwd=cwd)
        check_success_lines(run, arg, 2, "default", started, ended)
        check_certificate(top, tmp_path / "work")


def test_certificate_is_the_pickle_of_the_table_in_memory_and_of_plain_records(tmp_path):
    top = tmp_path / "tree"
    top.mkdir()
    for i in range(300):  # many equal contents, so equal digests, and empty files
        (top / f"f{i}").write_bytes(b"same" * (i % 3) * 600)
    manager = FileManager(str(top), 2048, 4)
    manager._parse_directory()
    manager._generate_fingerprints()
    manager._save_certificate()
    manager._archive_certificate()
    _, _, payload, _ = read_certificate(top)
    assert payload == pickle.dumps(manager._file_nodes, 4)
    plain = {}
    for key, node in manager._file_nodes.items():
        copy = FileNode(int(str(node.id)), "".join(node.file_path))
        copy.set_fingerprint([["".join(row[0])] for row in node.get_fingerprint()])
        plain[key] = copy
    assert payload == pickle.dumps(plain, 4)


def test_signing_again_replaces_the_certificate_and_leaves_other_files_alone(tmp_path):
    top = varied_tree(tmp_path / "tree")
    assert sign(str(top))[0].returncode == 0
    cert_dir = top / "Certificates"
    first = (cert_dir / "Certificate.korvex").read_bytes()
    os.link(cert_dir / "Certificate.korvex", tmp_path / "first-link")
    (cert_dir / "notes.txt").write_bytes(b"my notes")
    (cert_dir / "Certificate.pk").write_bytes(b"leftover of an interrupted run")
    (top / "added").write_bytes(b"new file")
    notes_before = snapshot(cert_dir)["notes.txt"]
    run, _, _ = sign(str(top))
    assert run.returncode == 0
    _, _, table = check_certificate(top, tmp_path / "work")
    assert sorted(os.listdir(cert_dir)) == ["Certificate.korvex", "notes.txt", "old"]
    assert snapshot(cert_dir)["notes.txt"] == notes_before
    assert "added" in {n.file_path for n in table.values()}
    assert not any(n.file_path.startswith("Certificates/notes") for n in table.values())
    # The new certificate was written beside the old one and renamed into place.
    assert (tmp_path / "first-link").read_bytes() == first


def test_signing_and_validating_leave_access_times_alone(tmp_path):
    top = tmp_path / "tree"
    (top / "sub").mkdir(parents=True)
    (top / "sub" / "big").write_bytes(os.urandom(300_000))
    (top / "small").write_bytes(b"small")
    (tmp_path / "control").write_bytes(b"control")
    old = 1_000_000_000  # before every modification time here: relatime updates it on a read
    watched = [top, top / "sub", top / "sub" / "big", top / "small"]
    for path in [*watched, tmp_path / "control"]:
        os.utime(path, (old, os.stat(path).st_mtime))
    (tmp_path / "control").read_bytes()
    if os.stat(tmp_path / "control").st_atime == old:
        pytest.skip("this file system does not update access times on reads")
    atimes = lambda: {str(p): os.stat(p).st_atime for p in watched}
    assert sign(str(top))[0].returncode == 0
    assert atimes() == {str(p): old for p in watched}
    assert run_cli("validate_certificate", "-p", str(top)).returncode == 0
    assert atimes() == {str(p): old for p in watched}


def test_library_procedure_logs_through_the_callers_logging(tmp_path, caplog):
    import mavelin.utils
    top = varied_tree(tmp_path / "tree")
    caplog.set_level(logging.INFO)
    with PipeRescue([top / "pipe"]) as rescue:
        assert mavelin.utils.sign_folder(top) is None
    assert not rescue.fired, "opening the named pipe blocked"
    triples = without_uncertified([(r.levelname, r.name, r.getMessage()) for r in caplog.records])
    assert triples[:5] == expected_lines(str(top), len(scan_rows(top)))
    assert [t[2].split(":")[0] for t in triples[5:]] == ["Elapsed time", "Certificate generated successfully!"]
    check_certificate(top, tmp_path / "work")
    caplog.clear()
    with PipeRescue([top / "pipe"]):
        assert mavelin.utils.sign_folder(str(top), "silent") is None
    assert [(r.levelname, r.name, r.getMessage()) for r in caplog.records] == [UNCERTIFIED]


# --- no files ------------------------------------------------------------------------------------

@pytest.mark.parametrize("layout", ["empty", "empty-folders", "certificates-only"])
@pytest.mark.parametrize("mode", ["default", "silent"])
def test_no_files_ends_with_status_1_and_writes_nothing(tmp_path, layout, mode):
    top = tmp_path / "tree"
    top.mkdir()
    if layout == "empty-folders":
        (top / "a" / "b").mkdir(parents=True)
    elif layout == "certificates-only":
        (top / "Certificates").mkdir()
        (top / "Certificates" / "Certificate.korvex").write_bytes(b"old")
    before = snapshot(top)
    run, _, _ = sign(str(top), "-m", mode)
    assert (run.returncode, run.stderr) == (1, "")
    error = ("ERROR", SIGN_LOGGER, "No files were found.")
    assert run.triples() == ([error] if mode == "silent" else expected_lines(str(top), 0)[:2] + [error])
    assert snapshot(top) == before


def test_library_no_files_requests_exit_1(tmp_path, caplog):
    import mavelin.utils
    with pytest.raises(SystemExit) as info:
        mavelin.utils.sign_folder(str(tmp_path), "silent")
    assert info.value.code == 1
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [("ERROR", "No files were found.")]
    assert list(tmp_path.iterdir()) == []


# --- payload and archive of hand-built tables ------------------------------------------------------------

def build_table(count, fingerprints=True, style="ascii", first_id=1):
    paths = {
        "ascii": lambda i: f"dir{i % 7}/file{i}.txt",
        "non-ascii": lambda i: f"données/ファイル{i}/ü.txt",
        "surrogates": lambda i: f"bad\udcff{i}\udcfe.bin",
        "newlines": lambda i: f"line\n{i}\\back",
    }[style]
    table = {}
    for i in range(first_id, first_id + count):
        node = FileNode(i, paths(i))
        if fingerprints and (fingerprints is True or i % 2):
            node.set_fingerprint(sample_fingerprint(i))
        table[f"node_id_{i}"] = node
    return table


def _shared_objects():
    fp, path = sample_fingerprint(1), "shared"
    a, b = FileNode(1, path), FileNode(2, path)
    a.set_fingerprint(fp)
    b.set_fingerprint(fp)
    return {"node_id_1": a, "node_id_2": b}


def _paths(*paths):
    return {f"node_id_{i}": FileNode(i, p) for i, p in enumerate(paths, 1)}


def _odd_values():
    node = FileNode(1, PurePosixPath("as/path"))
    node.extra = "extra attribute"
    fingerprints = FileNode(2, "rows of other lengths")
    fingerprints.set_fingerprint([[EMPTY_DIGEST]] * 7 + [[]])
    twice = FileNode(3, "same node twice")
    return {"node_id_1": node, "node_id_2": fingerprints, "node_id_3": twice, "again": twice,
            7: None, "tuple": (1, "two", 3.0), "node_id_4": FileNode(4, "")}


PAYLOAD_CASES = {
    "0 nodes": lambda: {},
    "1 node": lambda: build_table(1),
    "1 node, no fingerprint": lambda: build_table(1, False),
    "999 nodes": lambda: build_table(999),
    "1000 nodes": lambda: build_table(1000),
    "1000 nodes, no fingerprints": lambda: build_table(1000, False),
    "1001 nodes": lambda: build_table(1001),
    "1001 nodes, no fingerprints": lambda: build_table(1001, False),
    "70000 nodes": lambda: build_table(70_000),
    "70000 nodes, no fingerprints": lambda: build_table(70_000, False),
    "half fingerprinted": lambda: build_table(2001, "half"),
    "non-ascii paths": lambda: build_table(300, style="non-ascii"),
    "surrogate-escaped paths": lambda: build_table(300, style="surrogates"),
    "newlines in paths": lambda: build_table(30, style="newlines"),
    "ids around 2**31": lambda: build_table(6, first_id=2**31 - 3),
    "ids around 2**32": lambda: build_table(6, first_id=2**32 - 3),
    "ids around 2**63": lambda: build_table(6, first_id=2**63 - 3),
    "ids around 2**64": lambda: build_table(6, first_id=2**64 - 3),
    "shared objects": _shared_objects,
    # Paths that are objects the pickle memoizes anyway.
    "the module's name as a path": lambda: _paths(FileNode.__module__, "x"),
    "an attribute name as a path": lambda: _paths("x", sys.intern("file_path")),
    "one-character paths": lambda: _paths("a", "a"),
    "odd values": _odd_values,
}


@pytest.mark.parametrize("case", list(PAYLOAD_CASES))
def test_payload_is_the_pickle_of_the_table_and_the_archive_is_zipfiles(tmp_path, case):
    table = PAYLOAD_CASES[case]()
    expected = pickle.dumps(table, 4)
    top = tmp_path / "signed"
    top.mkdir()
    manager = FileManager(str(top), 2048, 4)
    manager._file_nodes = table
    assert manager._save_certificate() is None
    assert manager._cert_folder_path == os.path.join(str(top), "Certificates")
    assert manager._pickle_file_path == os.path.join(str(top), "Certificates", "Certificate.pk")
    assert Path(manager._pickle_file_path).read_bytes() == expected
    assert manager._archive_certificate() is None
    assert not os.path.exists(manager._pickle_file_path)
    raw, info, payload, _ = read_certificate(top)
    assert payload == expected
    (tmp_path / "work").mkdir()
    assert raw == zipfile_archive_of(payload, info.date_time, info.external_attr >> 16, tmp_path / "work")
    status, output = unzip_test(top / "Certificates" / "Certificate.korvex")
    assert status == 0, output
    assert os.listdir(top / "Certificates") == ["Certificate.korvex"]


def test_certificate_paths_have_no_doubled_separator(tmp_path):
    manager = FileManager(str(tmp_path) + "/", 2048, 4)
    manager._file_nodes = build_table(2)
    manager._save_certificate()
    assert manager._cert_folder_path == str(tmp_path) + "/Certificates"
    assert manager._pickle_file_path == str(tmp_path) + "/Certificates/Certificate.pk"
    manager._archive_certificate()
    assert read_certificate(tmp_path)[2] == pickle.dumps(manager._file_nodes, 4)


@pytest.mark.parametrize("payload", ["own", "named by the caller"])
def test_a_failed_archive_step_keeps_its_payload(tmp_path, payload):
    manager = FileManager(str(tmp_path), 2048, 4)
    manager._file_nodes = build_table(3)
    manager._save_certificate()
    expected = pickle.dumps(manager._file_nodes, 4)
    if payload != "own":
        os.replace(manager._pickle_file_path, tmp_path / "mine.pk")
        manager._pickle_file_path = str(tmp_path / "mine.pk")
    os.mkdir(os.path.join(manager._cert_folder_path, "Certificate.korvex"))  # no archive there
    with pytest.raises(IsADirectoryError):
        manager._archive_certificate()
    assert Path(manager._pickle_file_path).read_bytes() == expected


# --- files that cannot be read -------------------------------------------------------------------

UNREADABLE = {
    "link loop": (lambda p: os.symlink(os.path.basename(p), p), errno.ELOOP),
}


def _readable_tree(top):
    top.mkdir()
    (top / "fine").write_bytes(b"fine" * 1000)
    (top / "sub").mkdir()
    (top / "sub" / "also fine").write_bytes(b"")


def _add_unreadable(top, kinds):
    bad = {}
    for i, kind in enumerate(kinds):
        rel = f"sub/bad {i}" if i % 2 else f"bad {i}"
        UNREADABLE[kind][0](top / rel)
        bad[rel] = UNREADABLE[kind][1]
    return bad


def _check_unreadable_lines(errors, bad):
    assert len(errors) == len(bad)
    seen = {}
    for level, name, message in errors:
        assert (level, name) == ("ERROR", SIGN_LOGGER)
        m = re.fullmatch(r"File (.*) can't be read: (.+)", message, re.S)
        assert m, message
        seen[m.group(1)] = m.group(2)
    assert set(seen) == set(bad)
    for path, reason in seen.items():
        assert os.strerror(bad[path]) in reason


@pytest.mark.parametrize("kinds", [["link loop"], ["link loop"] * 4],
                         ids=lambda k: "+".join(k))
@pytest.mark.parametrize("existing", [False, True], ids=["first-signing", "existing-certificate"])
def test_unreadable_files_are_reported_and_nothing_is_written(tmp_path, kinds, existing):
    top = tmp_path / "tree"
    _readable_tree(top)
    if existing:
        assert sign(str(top))[0].returncode == 0
    bad = _add_unreadable(top, kinds)
    before = snapshot(top)
    run, _, _ = sign(str(top), timeout=60)
    assert run.returncode == 1 and "Traceback" not in run.stderr
    triples = run.triples()
    count = len(scan_rows(top))
    assert triples[:4] == expected_lines(str(top), count)[:4]
    _check_unreadable_lines(triples[4:], bad)
    assert snapshot(top) == before


def test_unreadable_files_in_silent_mode_and_from_the_library(tmp_path, caplog):
    import mavelin.utils
    top = tmp_path / "tree"
    _readable_tree(top)
    bad = _add_unreadable(top, ["link loop", "link loop"])
    before = snapshot(top)
    run, _, _ = sign(str(top), "-m", "silent", timeout=60)
    assert run.returncode == 1
    _check_unreadable_lines(run.triples(), bad)
    with pytest.raises(SystemExit) as info:
        mavelin.utils.sign_folder(str(top), "silent")
    assert info.value.code == 1
    _check_unreadable_lines([(r.levelname, r.name, r.getMessage()) for r in caplog.records], bad)
    assert snapshot(top) == before


def test_a_file_without_read_permission_is_reported(tmp_path, without_dac_override):
    top = tmp_path / "tree"
    _readable_tree(top)
    (top / "secret").write_bytes(b"secret")
    os.chmod(top / "secret", 0)
    before = snapshot(top)
    run = run_cli("sign_folder", "-p", str(top), prefix=without_dac_override, timeout=60)
    assert run.returncode == 1
    _check_unreadable_lines(run.triples()[4:], {"secret": errno.EACCES})
    assert snapshot(top) == before


# --- failures while writing ---------------------------------------------------------------------------

def _limit_file_size(limit):
    def apply():
        import resource
        import signal
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


def _payload_size(top):
    manager = FileManager(str(top), 2048, 4)
    manager._parse_directory()
    manager._generate_fingerprints()
    return len(pickle.dumps(manager._file_nodes, 4))


@pytest.mark.parametrize("where", ["payload", "archive"])
def test_a_write_failure_keeps_the_previous_certificate(tmp_path, where):
    top = tmp_path / "tree"
    top.mkdir()
    for i in range(200):
        (top / f"f{i}").write_bytes(str(i).encode())
    assert sign(str(top))[0].returncode == 0
    for i in range(200, 260):
        (top / f"f{i}").write_bytes(str(i).encode())
    size = _payload_size(top)
    before = snapshot(top)
    limit = 4096 if where == "payload" else size + 40
    run, _, _ = sign(str(top), preexec_fn=_limit_file_size(limit))
    assert run.returncode == 1 and "Traceback" not in run.stdout + run.stderr
    errors = [t for t in run.triples() if t[0] == "ERROR"]
    assert len(errors) == 1 and os.strerror(errno.EFBIG) in errors[0][2]
    assert run.triples()[-1] == errors[0]
    assert snapshot(top) == before


def test_a_serialization_failure_keeps_the_previous_certificate(tmp_path):
    top = tmp_path / "tree"
    top.mkdir()
    (top / "a").write_bytes(b"a")
    assert sign(str(top))[0].returncode == 0
    before = snapshot(top)
    manager = FileManager(str(top), 2048, 4)
    manager._parse_directory()
    manager._generate_fingerprints()
    manager._file_nodes["node_id_2"] = lambda: None
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
        manager._save_certificate()
    assert snapshot(top) == before


def test_certificates_entry_that_is_a_file(tmp_path):
    import mavelin.utils
    top = tmp_path / "tree"
    top.mkdir()
    (top / "a").write_bytes(b"a")
    (top / "Certificates").write_bytes(b"not a folder")
    before = snapshot(top)
    run, _, _ = sign(str(top))
    assert run.returncode == 1
    assert "Traceback" not in run.stdout + run.stderr
    triples = run.triples()
    errors = [t for t in triples if t[0] == "ERROR"]
    assert len(errors) == 1 and triples[-1] == errors[0]
    assert os.strerror(errno.ENOTDIR) in errors[0][2]
    assert snapshot(top) == before
    with pytest.raises(OSError) as info:
        mavelin.utils.sign_folder(str(top), "silent")
    assert info.value.errno == errno.ENOTDIR
    assert snapshot(top) == before


@pytest.mark.parametrize("read_only", ["top", "certificates"])
def test_a_folder_that_cannot_be_written(tmp_path, without_dac_override, read_only):
    top = tmp_path / "tree"
    top.mkdir()
    (top / "a").write_bytes(b"a")
    if read_only == "certificates":
        assert sign(str(top))[0].returncode == 0
        os.chmod(top / "Certificates", 0o555)
    else:
        os.chmod(top, 0o555)
    try:
        before = snapshot(top)
        run = run_cli("sign_folder", "-p", str(top), prefix=without_dac_override)
        assert run.returncode == 1 and "Traceback" not in run.stdout + run.stderr
        # Said at once, before the scan, pointing to -o.
        folder = top / "Certificates" if read_only == "certificates" else top
        assert run.triples() == [("ERROR", "mavelin.utils.sign_folder",
                                  f"The certificate can't be written in {folder}: "
                                  f"{os.strerror(errno.EACCES)}. Write it elsewhere with "
                                  "-o / --output.")]
        assert snapshot(top) == before
        lib = run_cli_library_sign(str(top), without_dac_override)
        assert lib.stdout == f"PermissionError {errno.EACCES}\n"
        assert snapshot(top) == before
    finally:
        os.chmod(top, 0o755)
        if (top / "Certificates").exists():
            os.chmod(top / "Certificates", 0o755)


def run_cli_library_sign(top, prefix):
    return run_process([*prefix, sys.executable, "-c", """
import sys
import mavelin.utils
try:
    mavelin.utils.sign_folder(sys.argv[1], "silent")
except OSError as e:
    print(type(e).__name__, e.errno)
""", top])


# --- command-line arguments ---------------------------------------------------------------------------

@pytest.mark.parametrize("argv", [
    ["sign_folder"],
    ["sign_folder", "-m", "silent"],
    ["sign_folder", "-p", "regular-file"],
    ["sign_folder", "-p", "missing"],
    ["sign_folder", "-p", ".", "--no-such-option"],
    ["no_such_command"],
], ids=lambda a: " ".join(a))
def test_refused_arguments_are_usage_errors_before_anything_runs(tmp_path, argv):
    (tmp_path / "regular-file").write_bytes(b"x")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "f").write_bytes(b"y")
    before = snapshot(tmp_path)
    run = run_cli(*argv, cwd=tmp_path)
    assert run.returncode == 2
    assert run.stdout == ""
    assert "Usage:" in run.stderr and "Traceback" not in run.stderr
    assert snapshot(tmp_path) == before


# --- undecodable names ------------------------------------------------------------------------------

@pytest.mark.parametrize("env", [{}, {"PYTHONIOENCODING": "utf-8"}, {"LC_ALL": "C"}],
                         ids=["default", "strict-stdout", "c-locale"])
def test_undecodable_names_are_logged_escaped(tmp_path, env):
    top = os.path.join(os.fsencode(tmp_path), b"sig\xffned")
    os.mkdir(top)
    with open(os.path.join(top, b"file"), "wb") as f:
        f.write(b"content")
    run = run_cli("sign_folder", "-p", top, env=env)
    assert run.returncode == 0
    assert run.stderr == ""
    text = run.stdout_bytes.decode("utf-8")  # escaped: always valid UTF-8
    parsing = [line for line in text.splitlines() if "Parsing directory" in line]
    assert len(parsing) == 1
    assert "sig\\xffned" in parsing[0] or "sig\\udcffned" in parsing[0]

    os.symlink(b"bro\xfeken", os.path.join(top, b"bro\xfeken"))  # a loop
    run = run_cli("sign_folder", "-p", top, env=env)
    assert run.returncode == 1 and "Logging error" not in run.stderr
    text = run.stdout_bytes.decode("utf-8")
    errors = [line for line in text.splitlines() if "[ERROR]" in line]
    assert len(errors) == 1
    assert "bro\\xfeken" in errors[0] or "bro\\udcfeken" in errors[0]


# --- on the compact table: memory and the interpreter lock -----------------------------------------

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
