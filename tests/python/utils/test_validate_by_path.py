# Validation by path: copies listed in another order, each change reported once, and the position mode on the same trees.
import os
import pickle
import shutil
import subprocess
import tempfile
import zipfile
from pathlib import Path

import pytest

from validation_helpers import (FOUND, NO_CERT_WARNING, PROCEDURE_LOGGER, VALIDATION_LOGGER, Run,
                                capture_logs, check_report, report_changes, host_certificate, make_tree, node_table,
                                reference_fingerprint, scan_order, sign, validate,
                                validate_by_position, write)

# Several files per folder, so a listing in another order changes the walk order.
TREE = {f"{folder}{i}.txt": f"{folder} file {i}\n" * (i * 300 + 1)
        for folder in ("", "a/", "a/b/", "c/") for i in range(6)}
MODIFIED, DELETED, RENAMED_FROM = "a/3.txt", "c/1.txt", "a/b/2.txt"
RENAMED_TO, ADDED = "c/renamed.txt", "a/b/added.txt"


@pytest.fixture
def tmpfs():
    """A fresh folder on tmpfs, which lists entries newest first."""
    if not os.access("/dev/shm", os.W_OK):
        pytest.skip("no writable tmpfs at /dev/shm")
    folder = tempfile.mkdtemp(dir="/dev/shm", prefix="mavelin-test-")
    yield Path(folder)
    shutil.rmtree(folder)


def copy_files_in_walk_order(src, dst):
    dst.mkdir()
    for rel in scan_order(src) + ["Certificates/Certificate.korvex"]:
        write(dst / rel, (src / rel).read_bytes())


def copy_with_cp(src, dst):
    subprocess.run(["cp", "-r", str(src), str(dst)], check=True)


def copy_with_tar(src, dst):
    dst.mkdir()
    subprocess.run(f"tar -C '{src}' -cf - . | tar -C '{dst}' -xf -", shell=True, check=True)


COPIES = {"created-in-walk-order": copy_files_in_walk_order, "cp-r": copy_with_cp,
          "tar": copy_with_tar}


@pytest.fixture(params=list(COPIES))
def copied(request, tmp_path, tmpfs):
    """(signed tree, copy of it on tmpfs whose walk order differs)."""
    src = make_tree(tmp_path / "signed", TREE)
    sign(src)
    dst = tmpfs / "copy"
    COPIES[request.param](src, dst)
    assert sorted(scan_order(dst)) == sorted(scan_order(src))
    assert scan_order(dst) != scan_order(src)
    return src, dst


def change(top):
    write(top / MODIFIED, b"changed")
    os.remove(top / DELETED)
    write(top / ADDED, b"added")
    os.rename(top / RENAMED_FROM, top / RENAMED_TO)


def findings_by_path(top):
    """The lines validation by path gives after change(): the tree's walk order, missing last."""
    lines = []
    for p in scan_order(top):
        if p == MODIFIED:
            lines.append(f"Fingerprints don't match in file {p}!")
        elif p == ADDED:
            lines.append(f"File {p} isn't in the certificate.")
        elif p == RENAMED_TO:
            lines.append(f"File {RENAMED_FROM} was moved to {p}.")
    return lines + [f"File {DELETED} is missing."]


def certificate_records(cert):
    with zipfile.ZipFile(cert) as zf:
        table = pickle.loads(zf.read("Certificate.pk"))
    return [(n.id, n.file_path, n.get_fingerprint()) for n in table.values()]


def position_oracle(cert_records, top):
    """The lines and count of the comparison by position, pair by pair, then unpaired entries."""
    fresh = [(i, p, reference_fingerprint(top / p)) for i, p in enumerate(scan_order(top), 1)]
    lines, count = [], 0
    for (old_id, old_path, old_fp), (new_id, new_path, new_fp) in zip(cert_records, fresh):
        pair = []
        if (old_id, old_path) != (new_id, new_path):
            pair.append(f"File {new_path} isn't authentic.")
        if old_path != new_path:
            pair.append(f"File {new_path} is out of order.")
        if old_fp != new_fp:
            pair.append(f"Fingerprints don't match in file {new_path}!")
        lines += pair
        count += bool(pair)
    old_paths, new_paths = {r[1] for r in cert_records}, {r[1] for r in fresh}
    lines += [f"File {p} is missing." for _i, p, _f in cert_records if p not in new_paths]
    lines += [f"File {p} isn't in the certificate." for _i, p, _f in fresh if p not in old_paths]
    longer, other = ((cert_records, new_paths) if len(cert_records) > len(fresh)
                     else (fresh, old_paths))
    for _i, p, _f in longer[min(len(cert_records), len(fresh)):]:
        if p in other:
            lines.append(f"File {p} is out of order.")
        count += 1
    return lines, count


def body_and_verdict(r):
    """The comparison's lines between the search lines and the verdict, and the verdict."""
    log = r.log
    assert log[0] == ("WARNING", PROCEDURE_LOGGER, NO_CERT_WARNING), log
    assert log[1][:2] == ("INFO", VALIDATION_LOGGER) and log[1][2].startswith(FOUND), log
    body = log[2:-2]
    assert all(lv == "WARNING" and name == VALIDATION_LOGGER for lv, name, _m in body), log
    return [m for _l, _n, m in body], [m for _l, _n, m in log[-2:]]


def verdict(n):
    return ["Validation failed", f"Files failed validation: {n}"]


class TestCopiesListedInAnotherOrder:
    def test_unchanged_copy_passes(self, copied):
        _src, dst = copied
        r = validate(dst)
        assert r.returncode == 0, r.stdout + r.stderr
        r.assert_clean()
        assert [m for _l, _n, m in r.log][2] == "Validation successfull"
        assert len(r.log) == 4

    def test_each_change_reported_once(self, copied, tmp_path):
        src, dst = copied
        change(dst)
        report = tmp_path / "report.json"
        r = validate(dst, None, 120, "--report", report)
        assert r.returncode == 1
        r.assert_clean()
        body, tail = body_and_verdict(r)
        assert body == findings_by_path(dst)
        assert tail == verdict(4)
        document = check_report(report.read_text())
        assert report_changes(document) == {
            ("modified", MODIFIED, None), ("missing", DELETED, None), ("new", ADDED, None),
            ("moved", RENAMED_FROM, RENAMED_TO)}
        assert [f["path"] for f in document["findings"]][-1] == DELETED
        assert document["counts"]["failed_files"] == 4
        assert document["counts"]["files"] == len(TREE)
        assert document["counts"]["bytes"] == sum((dst / p).stat().st_size for p in scan_order(dst))
        assert (document["passed"], document["match"]) == (False, "path")
        assert document["certificate"] == str(dst / "Certificates" / "Certificate.korvex")

    def test_position_mode_gives_the_pairwise_lines(self, copied):
        src, dst = copied
        records = certificate_records(src / "Certificates" / "Certificate.korvex")
        r = validate_by_position(dst)
        lines, count = position_oracle(records, dst)
        assert count > 0  # the order differs: pairs meet other files
        body, tail = body_and_verdict(r)
        assert (body, tail) == (lines, verdict(count))
        change(dst)
        lines, count = position_oracle(records, dst)
        r = validate(dst, None, 120, "--match", "position", "--report", "-")
        body, tail = body_and_verdict(Run(r.returncode, r.stderr, ""))
        assert (body, tail) == (lines, verdict(count))
        document = check_report(r.stdout)
        assert document["match"] == "position"
        assert len(document["findings"]) == len(lines)
        assert document["counts"]["failed_files"] == count
        out_of_order = [f for f in document["findings"] if f["kind"] == "out_of_order"]
        assert out_of_order and all(f["other_path"] != f["path"] for f in out_of_order[:1])


# A chain of folders with one file each: the walk order is the same on every file system.
CHAIN = {"f0": b"zero", "d1/f1": b"one" * 900, "d1/d2/f2": b"two", "d1/d2/d3/f3": b"",
         "d1/d2/d3/d4/f4": b"four" * 3000}


def without_times(r):
    return [(lv, name, m) for lv, name, m in r.log if not m.startswith("Elapsed time")], r.returncode


class TestSameOrderAsSigned:
    """When both tables list the same paths in the same order, both modes print the same lines."""

    @pytest.mark.parametrize("case", ["unchanged", "content", "ids", "ids-and-content",
                                      "no-fingerprint", "unreadable", "other-parameters"])
    def test_modes_agree(self, tmp_path, case):
        make_tree(tmp_path, CHAIN)
        assert scan_order(tmp_path) == list(CHAIN)
        table = node_table(tmp_path)
        if case in ("ids", "ids-and-content"):
            for node in list(table.values())[1::2]:
                node.id += 10
        if case == "no-fingerprint":
            table = node_table(tmp_path, without_fingerprint={"d1/d2/f2"})
        if case == "other-parameters":
            table["node_id_2"].set_fingerprint(reference_fingerprint(tmp_path / "d1/f1", 4096, 2))
        host_certificate(tmp_path, table=table)
        if case in ("content", "ids-and-content"):
            write(tmp_path / "d1/d2/f2", b"TWO")
        if case == "unreadable":
            os.remove(tmp_path / "d1/d2/d3/f3")
            os.symlink("f3", tmp_path / "d1/d2/d3/f3")  # a loop
        by_path, by_position = validate(tmp_path), validate_by_position(tmp_path)
        by_path.assert_clean()
        assert without_times(by_path) == without_times(by_position)
        if case != "unchanged":
            assert by_path.returncode == 1

    def test_record_whose_id_disagrees_with_its_key(self, tmp_path):
        make_tree(tmp_path, CHAIN)
        table = node_table(tmp_path)
        table["node_id_3"].id = 7
        host_certificate(tmp_path, table=table)
        body, tail = body_and_verdict(validate(tmp_path))
        assert (body, tail) == (["File d1/d2/f2 isn't authentic."], verdict(1))


class TestMovesAndScale:
    def test_ambiguous_moves_stay_missing_and_new(self, tmp_path):
        make_tree(tmp_path, {"keep": "k", "x/twin1": "same", "x/twin2": "same", "y/solo": "solo"})
        sign(tmp_path)
        os.rename(tmp_path / "x", tmp_path / "z")  # two files of equal content move together
        os.rename(tmp_path / "y/solo", tmp_path / "y/solo2")
        body, tail = body_and_verdict(validate(tmp_path))
        fresh = scan_order(tmp_path)
        expected = []
        for p in fresh:
            if p.startswith("z/"):
                expected.append(f"File {p} isn't in the certificate.")
            elif p == "y/solo2":
                expected.append("File y/solo was moved to y/solo2.")
        cert_order = [r[1] for r in certificate_records(tmp_path / "Certificates/Certificate.korvex")]
        expected += [f"File {p} is missing." for p in cert_order if p.startswith("x/")]
        assert (body, tail) == (expected, verdict(5))

    def test_one_deletion_among_many_files(self, tmp_path):
        make_tree(tmp_path, {f"d{i % 50}/f{i}": str(i) for i in range(5000)})
        sign(tmp_path)
        os.remove(tmp_path / "d7/f1207")
        r = validate(tmp_path)
        r.assert_clean()
        assert body_and_verdict(r) == (["File d7/f1207 is missing."], verdict(1))


class TestLibrary:
    def test_match_keyword_and_findings(self, tmp_path):
        from mavelin.core.validation import CertificateValidator
        from mavelin.utils import validate_certificate
        make_tree(tmp_path, CHAIN)
        sign(tmp_path)
        os.rename(tmp_path / "d1/f1", tmp_path / "d1/d2/d3/d4/g1")
        v = CertificateValidator(None, str(tmp_path), chunk_size=2048, transformation_step=4)
        assert v.light_certificate_search()
        v.deserealize_certificate()
        v.generate_fingerprints()
        with capture_logs() as cap:
            assert v.validate_nodes() == 1
        assert v._findings == [("moved", "d1/f1", "d1/d2/d3/d4/g1")]
        assert cap.messages() == ["File d1/f1 was moved to d1/d2/d3/d4/g1."]
        with capture_logs() as cap:
            assert v.validate_nodes(match="position") == 3
        assert [f[0] for f in v._findings][:3] == ["not_authentic", "out_of_order", "modified"]
        assert v._findings[0][1:] == ("d1/d2/f2", "d1/f1")
        with pytest.raises(ValueError):
            v.validate_nodes(match="name")
        with capture_logs() as cap, pytest.raises(SystemExit):
            validate_certificate(str(tmp_path), None, match="position")
        assert cap.messages()[-1] == "Files failed validation: 3"
        with pytest.raises(ValueError):
            validate_certificate(str(tmp_path), None, match="paths")


def test_unchanged_tree_and_the_bytes_fingerprinted(tmp_path):
    top = make_tree(tmp_path / "tree", dict(TREE, **{"c/Certificates/kept.txt": "left out"}))
    sign(top)
    from mavelin.utils import validate_certificate
    with capture_logs() as cap:
        validate_certificate(str(top), None, report=str(tmp_path / "r.json"))
    report = check_report((tmp_path / "r.json").read_text())
    assert report["passed"] and report["findings"] == []
    files = scan_order(top)
    assert report["counts"]["files"] == len(files)
    assert report["counts"]["bytes"] == sum(os.path.getsize(top / f) for f in files)
    assert cap.messages("WARNING") == [
        "Certificate file wasn't provided. Performing search...",
        "Files in c/Certificates are not certified: the folder is named Certificates."]
