# sign_folder(update=True): the metadata member against its documented layout and os.stat, and
# re-signing after random edits giving the bytes of a full signing while reading only what changed.
import logging
import os
import pickle
import random
import re
import struct
import time
import zipfile

import mavelin
import mavelin.utils
import pytest

COUNTS = re.compile(r"Files re-read: (\d+), fingerprints reused: (\d+)")


def members(certificate):
    with zipfile.ZipFile(certificate) as z:
        return z.read("Certificate.pk"), z.read("Certificate.files")


def parse_files_member(data):
    """Certificate.files as ARCHITECTURE.md documents it, with struct alone."""
    magic, version, rsize, nodes, links, taken, chunk, step = struct.unpack_from("<8sIIQQqII", data)
    assert (magic, version, rsize, chunk, step) == (b"MVLFILES", 1, 56, 2048, 4)
    records = [struct.unpack_from("<QqqQQIIII", data, 48 + i * rsize) for i in range(nodes)]
    off, entries = 48 + nodes * rsize, []
    for _ in range(links):
        node, plen = struct.unpack_from("<QI", data, off)
        path = data[off + 12:off + 12 + plen]
        (tlen,) = struct.unpack_from("<I", data, off + 12 + plen)
        start = off + 16 + plen
        entries.append((node, path, data[start:start + tlen]))
        off = start + tlen
    assert off == len(data)
    return taken, records, entries


def test_the_metadata_member_is_what_its_documentation_and_os_stat_say(tmp_path):
    top = tmp_path / "t"
    (top / "sub").mkdir(parents=True)
    (top / "sub" / "a").write_bytes(b"a" * 5000)
    (top / "b").write_bytes(b"")
    for sibling in ("s1", "s2", "s3"):  # folders listed one after another, in turn
        (top / sibling).mkdir()
        (top / sibling / "c").write_bytes(sibling.encode())
    os.chmod(top / "b", 0o600)
    os.symlink("sub/a", top / "ln")
    os.symlink("../../outside", top / "sub" / "gone")
    before = time.time_ns()
    mavelin.utils.sign_folder(str(top), "silent", update=True)
    payload, files = members(top / "Certificates" / "Certificate.korvex")
    table = pickle.loads(payload)
    taken, records, links = parse_files_member(files)
    assert before <= taken <= time.time_ns()
    paths = [node.file_path for node in table.values()]
    assert len(records) == len(paths) == 6
    for path, rec in zip(paths, records):
        st = os.stat(top / path)
        assert rec[:8] == (st.st_size, st.st_mtime_ns, st.st_ctime_ns, st.st_dev, st.st_ino,
                           st.st_mode, st.st_uid, st.st_gid)
        assert rec[8] == (1 if os.path.islink(top / path) else 0)
    assert sorted(links) == sorted([(paths.index("ln"), b"", b"sub/a"),
                                    (2**64 - 1, b"sub/gone", b"../../outside")])


def edit(rng, top, files, counter):
    """One random edit of the tree; returns the paths whose file is new or changed."""
    op = rng.choice(["modify", "grow", "shrink", "truncate", "replace", "touch_old",
                     "modify_touch_old", "add", "delete", "move"])
    if op == "add" or (op == "delete" and len(files) == 1):  # a tree without files is refused
        name = f"new{next(counter)}"
        (top / name).write_bytes(rng.randbytes(rng.randrange(0, 9000)))
        files.append(name)
        return {name}
    name = rng.choice(files)
    p = top / name
    data = p.read_bytes()
    st = os.stat(p)
    if op in ("modify", "modify_touch_old"):
        p.write_bytes(bytes(b ^ 1 for b in data) if data else b"x")
        if op == "modify_touch_old":
            os.utime(p, ns=(st.st_atime_ns, st.st_mtime_ns))
    elif op == "grow":
        p.write_bytes(data + rng.randbytes(rng.randrange(1, 5000)))
    elif op == "shrink":
        p.write_bytes(data[: len(data) // 2])
    elif op == "truncate":
        os.truncate(p, 0)
    elif op == "replace":
        tmp = top / "replacement"
        tmp.write_bytes(rng.randbytes(len(data)))
        os.utime(tmp, ns=(st.st_atime_ns, st.st_mtime_ns))
        os.rename(tmp, p)
    elif op == "touch_old":
        os.utime(p, ns=(st.st_atime_ns, st.st_mtime_ns - 10**9))
    elif op == "delete":
        os.unlink(p)
        files.remove(name)
        return set()
    elif op == "move":
        new = f"moved{next(counter)}"
        os.rename(p, top / "d" / new)
        files.remove(name)
        files.append(f"d/{new}")
        return {f"d/{new}"}
    return {name}


def test_update_gives_the_bytes_of_a_full_signing_and_reads_only_what_changed(tmp_path, caplog):
    from validation_helpers import check_report
    rng = random.Random(22)
    caplog.set_level(logging.INFO, logger="mavelin.utils.sign_folder")
    trees = []
    for k in range(200):
        top = tmp_path / f"t{k}"
        (top / "d").mkdir(parents=True)
        files = []
        for i in range(rng.randrange(1, 7)):
            name = rng.choice(["", "d/"]) + f"f{i}"
            (top / name).write_bytes(rng.randbytes(rng.choice([0, 1, 2047, 2048, 2049, 9000])))
            files.append(name)
        trees.append((top, files))
    # Files changed within the timestamp granularity of a signing are read again (racy): the
    # first update after a signing at once rereads all of them.
    mavelin.utils.sign_folder(str(trees[0][0]), update=True)
    caplog.clear()
    mavelin.utils.sign_folder(str(trees[0][0]), update=True, report=str(tmp_path / "r.json"))
    assert COUNTS.search(caplog.text).groups() == (str(len(trees[0][1])), "0")
    counts = check_report((tmp_path / "r.json").read_text())["counts"]
    assert (counts["reread"], counts["reused"]) == (len(trees[0][1]), 0)
    time.sleep(2.2)
    for top, _ in trees:
        mavelin.utils.sign_folder(str(top), "silent", update=True)
    counter = iter(range(10**6))
    for n, (top, files) in enumerate(trees):
        changed = set()
        for _ in range(rng.randrange(1, 5)):
            changed |= edit(rng, top, files, counter)
        caplog.clear()
        mavelin.utils.sign_folder(str(top), update=True)
        reread, reused = map(int, COUNTS.search(caplog.text).groups())
        changed &= set(files)
        assert (reread, reused) == (len(changed), len(files) - len(changed)), (n, changed)
        full = tmp_path / f"full{n}.korvex"
        mavelin.utils.sign_folder(str(top), "silent", update=True, output=str(full),
                                  certificate=str(tmp_path / "none"))
        updated_pk, updated_files = members(top / "Certificates" / "Certificate.korvex")
        full_pk, full_files = members(full)
        assert updated_pk == full_pk, n
        # The same records and links; only the clock of the walk differs.
        assert updated_files[:32] + updated_files[40:] == full_files[:32] + full_files[40:], n


def test_check_metadata_reports_mode_owner_group_and_link_targets(tmp_path, caplog):
    from validation_helpers import check_report, report_changes
    top = tmp_path / "t"
    (top / "sub").mkdir(parents=True)
    (top / "a").write_bytes(b"a")
    (top / "sub" / "b").write_bytes(b"b")
    os.chmod(top / "a", 0o644)
    os.symlink("a", top / "ln")
    os.symlink("nowhere", top / "dead")
    mavelin.utils.sign_folder(str(top), "silent", update=True)
    os.chmod(top / "a", 0o755)
    root = os.geteuid() == 0
    if root:
        os.chown(top / "sub" / "b", 1, 2)
    os.unlink(top / "ln")
    os.symlink("sub/b", top / "ln")
    os.unlink(top / "dead")
    os.symlink("elsewhere", top / "dead")
    report = tmp_path / "report.json"
    caplog.set_level(logging.WARNING)
    try:
        mavelin.utils.validate_certificate(str(top), None, check_metadata=True, report=str(report))
    except SystemExit:
        pass
    document = check_report(report.read_text())
    st = os.stat(tmp_path)
    expected = {("modified", "ln", None), ("metadata", "a", None), ("metadata", "ln", None),
                ("metadata", "dead", None)} | ({("metadata", "sub/b", None)} if root else set())
    assert report_changes(document) == expected
    # ln is b through its link: both show b's new owner and group.
    assert document["counts"]["findings"]["metadata"] == 3 + 4 * root
    assert document["counts"]["failed_files"] == 1  # metadata findings fail nothing
    lines = [r.getMessage() for r in caplog.records]
    assert "File a: mode 0644 \u2192 0755" in lines
    assert "File ln: link target a \u2192 sub/b" in lines
    assert "File dead: link target nowhere \u2192 elsewhere" in lines
    if root:
        assert f"File sub/b: owner {st.st_uid} \u2192 1" in lines
        assert f"File sub/b: group {st.st_gid} \u2192 2" in lines


# The link sub/ln of each case: (make its target, change it after signing), and whether the
# target's contents are certified through it. `out` holds a file and a link outside the tree.
LINK_CASES = {
    "dangling": ("../nowhere", "../elsewhere", False),
    "outside": ("../../out/o", "../../out/p", False),
    "outside, absolute": ("{out}/o", "{out}/p", False),
    "chain leaving the tree": ("../../out/back", "../../out/o", False),
    "inside": ("../a", "content", True),
    "inside, absolute through ..": ("{top}/sub/../a", "content", True),
}


@pytest.mark.parametrize("case", LINK_CASES)
def test_links_out_of_the_tree_are_recorded_and_never_read(tmp_path, case):
    from oracles import fingerprint_of_file
    first, then, certified = LINK_CASES[case]
    top, out = tmp_path / "t", tmp_path / "out"
    (top / "sub").mkdir(parents=True)
    out.mkdir()
    (top / "a").write_bytes(b"a" * 3000)
    (out / "o").write_bytes(b"o")
    (out / "p").write_bytes(b"p")
    os.symlink(top / "a", out / "back")  # back into the tree, from outside
    names = {"top": top, "out": out}
    os.symlink(first.format(**names), top / "sub" / "ln")
    mavelin.sign(str(top), update=True)
    payload, files = members(top / "Certificates" / "Certificate.korvex")
    table = {n.file_path: n for n in pickle.loads(payload).values()}
    links = {path: (node, target) for node, path, target in parse_files_member(files)[2]}
    if certified:
        assert table["sub/ln"]._FileNode__hash_fingerprint == fingerprint_of_file(top / "a")
    else:
        assert "sub/ln" not in table
        assert links[b"sub/ln"] == (2**64 - 1, os.fsencode(first.format(**names)))
    assert mavelin.validate(str(top)).passed
    # What lies outside never counts: its contents change, the tree still validates.
    (out / "o").write_bytes(b"other")
    if then == "content":
        (top / "a").write_bytes(b"b" * 3000)
    else:
        os.unlink(top / "sub" / "ln")
        os.symlink(then.format(**names), top / "sub" / "ln")
    result = mavelin.validate(str(top), check_metadata=True)
    found = {(f.kind, f.path) for f in result.findings}
    if certified:
        assert found == {("modified", "a"), ("modified", "sub/ln")}
    else:
        assert result.passed and found == {("metadata", "sub/ln")}
        assert result.uncertified_links == ("sub/ln",)
