# FileManager construction and _parse_directory: node keys, ids, paths and order against os.walk / os.fwalk.
import json
import os
import stat
import sys
from pathlib import Path

import pytest

from mavelin.core.file_managing import FileManager
from mavelin.core.models import FileNode
from oracles import remove_tree, scan_rows, table_rows
from support import TESTS_DIR, run_process, unix_socket


def scan(top, *params):
    manager = FileManager(top, *params)
    assert manager._parse_directory() is None
    for node in manager._file_nodes.values():
        assert type(node) is FileNode and type(node.id) is int and type(node.file_path) is str
        assert list(vars(node)) == ["id", "file_path"]
    return manager


def assert_scan_matches_walk(top, oracle_top=None, use_fwalk=False):
    manager = scan(top)
    expected = scan_rows(oracle_top if oracle_top is not None else top, use_fwalk=use_fwalk)
    assert table_rows(manager._file_nodes) == expected
    assert manager.files_count == len(expected)
    return manager, expected


def files(root, *paths, content=b"x"):
    for p in paths:
        full = Path(root, p)
        full.parent.mkdir(parents=True, exist_ok=True)
        full.write_bytes(content)


# --- construction ----------------------------------------------------------------------------------

def test_constructor_stores_its_arguments_and_touches_nothing(tmp_path):
    missing = tmp_path / "does-not-exist"
    m = FileManager(missing)
    assert m._initial_path is missing
    assert (m._chunk_size, m._transformation_step) == (4096, 2)
    assert m._file_nodes == {} and type(m._file_nodes) is dict
    assert not hasattr(m, "files_count")
    assert not hasattr(m, "_cert_folder_path") and not hasattr(m, "_pickle_file_path")
    m = FileManager(str(tmp_path), chunk_size=2048, transformation_step=4)
    assert (m._initial_path, m._chunk_size, m._transformation_step) == (str(tmp_path), 2048, 4)
    assert list(tmp_path.iterdir()) == []


# --- trees ---------------------------------------------------------------------------------------

def test_example_tree(tmp_path):
    files(tmp_path, "b.txt", "a.txt", "x/c.txt", "x/y/d.txt", "Certificates/Certificate.korvex",
          "Certificates/old/e.txt")
    (tmp_path / "z").mkdir()
    _, rows = assert_scan_matches_walk(str(tmp_path))
    assert sorted(p for _, _, p in rows) == sorted(
        ["b.txt", "a.txt", "x/c.txt", "x/y/d.txt", "Certificates/old/e.txt"])


def test_many_nested_folders_in_listing_order(tmp_path):
    for i in range(40):
        files(tmp_path, *(f"d{i % 7}/e{i % 3}/f{i}.bin", f"d{i % 5}/g{i}", f"top{i}"))
    (tmp_path / "empty" / "deeper").mkdir(parents=True)
    manager, rows = assert_scan_matches_walk(str(tmp_path))
    assert list(manager._file_nodes) == [f"node_id_{i}" for i in range(1, len(rows) + 1)]


@pytest.mark.parametrize("layout, expected", [
    (["Certificates/a", "x/Certificates/b", "x/Certificates/y/c", "x/y/Certificates/z/Certificates/q"],
     {"x/Certificates/y/c"}),
    (["certificates/a", "Certificates_old/b", "Certificates.bak/c", "x/y/Certificates", "CERTIFICATES/d"],
     {"certificates/a", "Certificates_old/b", "Certificates.bak/c", "x/y/Certificates", "CERTIFICATES/d"}),
])
def test_certificates_folders_at_any_depth(tmp_path, layout, expected):
    files(tmp_path, *layout)
    _, rows = assert_scan_matches_walk(str(tmp_path))
    assert {p for _, _, p in rows} == expected


def test_top_named_certificates_keeps_only_its_subfolders(tmp_path, monkeypatch):
    top = tmp_path / "Certificates"
    files(top, "Certificate.korvex", "direct.txt", "old/e.txt", "old/Certificates/f")
    for form in (str(top), str(top) + "/", str(top) + "/.", top):
        _, rows = assert_scan_matches_walk(form, oracle_top=str(top))
        assert [p for _, _, p in rows] == ["old/e.txt"]
    monkeypatch.chdir(top)
    for form in (".", "./"):
        manager = scan(form)
        assert table_rows(manager._file_nodes) == scan_rows(str(top))


def test_links_to_files_dangling_links_and_links_to_folders(tmp_path):
    files(tmp_path, "real/a.txt", "real/b.txt", "other/c.txt")
    os.symlink("real/a.txt", tmp_path / "link-to-file")
    os.symlink("nowhere", tmp_path / "dangling")
    os.symlink("a.txt/below", tmp_path / "real" / "below-a-file")
    os.symlink("real", tmp_path / "link-to-folder")
    os.symlink(tmp_path / "other", tmp_path / "real" / "absolute-link-to-folder")
    os.symlink("loop", tmp_path / "loop")
    os.mkdir(tmp_path / "Certificates")
    os.symlink("../real/a.txt", tmp_path / "Certificates" / "link-in-certificates")
    manager, rows = assert_scan_matches_walk(str(tmp_path))
    paths = {p for _, _, p in rows}
    assert {"link-to-file", "loop"} <= paths  # a link loop is a file that cannot be read
    # A link whose target is missing has no contents to certify: it is named instead.
    assert sorted(manager._uncertified_links) == ["dangling", "real/below-a-file"]
    assert not any(p.startswith(("link-to-folder", "real/absolute-link-to-folder")) for p in paths)


def test_special_files_are_nodes(tmp_path):
    files(tmp_path, "plain")
    os.mkfifo(tmp_path / "fifo")
    unix_socket(tmp_path / "socket")
    try:
        os.mknod(tmp_path / "device", 0o600 | stat.S_IFCHR, os.makedev(1, 3))
    except (PermissionError, OSError):
        pass
    _, rows = assert_scan_matches_walk(str(tmp_path))
    assert {"fifo", "socket", "plain"} <= {p for _, _, p in rows}


def test_names_with_newlines_and_invalid_utf8(tmp_path):
    top = os.fsencode(tmp_path)
    names = [b"new\nline.txt", b"back\\slash", b"inv\xffalid.txt", b"\xe9t\xe9", b"tab\tand\rcr",
             "ünïcödé.txt".encode(), b" spaced ", b"-dash", b".hidden", b"x" * 255, b"Certificates\xff"]
    for name in names:
        with open(os.path.join(top, name), "wb") as f:
            f.write(b"1")
    folder = os.path.join(top, b"dir\xc3(\n")
    os.mkdir(folder)
    for name in names[:4]:
        with open(os.path.join(folder, name), "wb") as f:
            f.write(b"2")
    os.mkdir(os.path.join(top, b"Certificates"))
    with open(os.path.join(top, b"Certificates", b"\xff"), "wb") as f:
        f.write(b"3")
    _, rows = assert_scan_matches_walk(str(tmp_path))
    assert len(rows) == len(names) + 4
    assert "dir\udcc3(\n/inv\udcffalid.txt" in {p for _, _, p in rows}


def test_a_thousand_folders_deep(tmp_path):
    top = tmp_path / "deep"
    top.mkdir()
    level = top
    for i in range(1000):
        level = level / "d"
        level.mkdir()
        if i % 97 == 0:
            (level / f"f{i}").write_bytes(b"")
    (level / "bottom").write_bytes(b"")
    try:
        _, rows = assert_scan_matches_walk(str(top))
        assert rows[-1][2] == "d/" * 1000 + "bottom"
    finally:
        remove_tree(top)


def test_paths_longer_than_path_max(tmp_path):
    top = tmp_path / "long"
    top.mkdir()
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for i in range(24):
            name = f"{i:03d}" + "x" * 200
            os.mkdir(name, dir_fd=fd)
            for leaf in (f"file{i}", "second"):
                os.close(os.open(leaf, os.O_CREAT | os.O_WRONLY, dir_fd=fd))
            child = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = child
        os.close(os.open("deepest", os.O_CREAT | os.O_WRONLY, dir_fd=fd))
    finally:
        os.close(fd)
    try:
        # os.walk silently skips what lies beyond PATH_MAX; os.fwalk walks relative to descriptors.
        _, rows = assert_scan_matches_walk(str(top), use_fwalk=True)
        assert len(rows) == 24 * 2 + 1 and len(os.fsencode(rows[-1][2])) > 4096
    finally:
        remove_tree(top)


def test_unlistable_folders_are_skipped_silently(tmp_path, without_dac_override):
    files(tmp_path, "a.txt", "locked/x.txt", "locked/sub/y.txt", "unsearchable/z.txt",
          "unsearchable/inner/w.txt", "open/v.txt", "zz.txt")
    os.chmod(tmp_path / "locked", 0)
    os.chmod(tmp_path / "unsearchable", 0o644)
    try:
        script = f"""
import json, sys
sys.path.insert(0, {TESTS_DIR!r})
from oracles import scan_rows, table_rows
from mavelin.core.file_managing import FileManager
results = {{}}
for top in sys.argv[1:]:
    m = FileManager(top)
    m._parse_directory()
    results[top] = [[list(r) for r in table_rows(m._file_nodes)], [list(r) for r in scan_rows(top)],
                    m.files_count]
print(json.dumps(results))
"""
        r = run_process([*without_dac_override, sys.executable, "-c", script, str(tmp_path),
                         str(tmp_path / "locked")])
        assert (r.returncode, r.stderr) == (0, "")
        results = json.loads(r.stdout)
        ours, walked, count = results[str(tmp_path)]
        assert ours == walked and count == len(walked)
        paths = {p for _, _, p in walked}
        assert "open/v.txt" in paths and not any(p.startswith("locked/") for p in paths)
        assert results[str(tmp_path / "locked")] == [[], [], 0]
    finally:
        os.chmod(tmp_path / "locked", 0o755)
        os.chmod(tmp_path / "unsearchable", 0o755)


# --- forms of the initial path ---------------------------------------------------------------------

@pytest.fixture
def small_tree(tmp_path):
    top = tmp_path / "data" / "out" / "build" / "out"
    files(top, "a", "x/c.txt", "x/y/d.txt", "Certificates/skip", "Certificates/keep/e")
    return top


def test_equivalent_forms_of_the_initial_path_give_the_same_table(small_tree, monkeypatch):
    reference = table_rows(scan(str(small_tree))._file_nodes)
    assert reference == scan_rows(str(small_tree))
    assert "x/c.txt" in {p for _, _, p in reference}

    class PathLike:
        def __fspath__(self):
            return str(small_tree)

    forms = [str(small_tree) + "/", str(small_tree) + "//", str(small_tree) + "/.",
             str(small_tree.parent) + "/./out", str(small_tree / "x") + "/..", small_tree, PathLike()]
    for form in forms:
        assert table_rows(scan(form)._file_nodes) == reference, form
    monkeypatch.chdir(small_tree)
    for form in (".", "./", "./."):
        assert table_rows(scan(form)._file_nodes) == reference, form
    monkeypatch.chdir(small_tree.parent)
    assert table_rows(scan("out")._file_nodes) == reference


@pytest.mark.parametrize("make", [lambda d: None, lambda d: d.write_bytes(b"file")],
                         ids=["missing", "regular-file"])
def test_an_initial_path_that_is_no_folder_gives_an_empty_table(tmp_path, make):
    target = tmp_path / "target"
    make(target)
    manager = scan(str(target))
    assert manager._file_nodes == {} and manager.files_count == 0


def test_only_certificate_files_give_an_empty_table(tmp_path):
    files(tmp_path, "Certificates/Certificate.korvex", "Certificates/Certificate.pk")
    (tmp_path / "empty").mkdir()
    manager = scan(str(tmp_path))
    assert manager._file_nodes == {} and manager.files_count == 0


def test_keys_have_no_leading_zeros_and_ten_follows_nine(tmp_path):
    files(tmp_path, *[f"f{i}" for i in range(12)])
    manager = scan(str(tmp_path))
    assert list(manager._file_nodes) == [f"node_id_{i}" for i in range(1, 13)]
    assert [n.id for n in manager._file_nodes.values()] == list(range(1, 13))


def test_a_second_scan_by_the_same_manager_overwrites_from_the_first_key(tmp_path):
    files(tmp_path, "a", "b", "c")
    manager = scan(str(tmp_path))
    first = dict(manager._file_nodes)
    for name in ("a", "b", "c"):
        (tmp_path / name).unlink()
    files(tmp_path, "only")
    manager._parse_directory()
    assert manager.files_count == 1
    assert list(manager._file_nodes) == ["node_id_1", "node_id_2", "node_id_3"]
    assert manager._file_nodes["node_id_1"].file_path == "only"
    assert manager._file_nodes["node_id_2"] is first["node_id_2"]
    assert manager._file_nodes["node_id_3"] is first["node_id_3"]
