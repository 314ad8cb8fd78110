# Run reports (--report), the summary line (--summary), and what a run leaves out: folders named
# Certificates, links whose target is missing, folders that cannot be read.
import errno
import json
import os
import pickle
import subprocess
import sys
import zipfile

import pytest

import support
from validation_helpers import (PROCEDURE_LOGGER, VALIDATION_LOGGER, Run, capture_logs,
                                check_report, make_tree, pickle_table, report_changes, run_cli, sign,
                                validate, write, zip_payload)

SIGN_LOGGER = "mavelin.utils.sign_folder"
TREE = {"a.txt": "alpha", "d/b.bin": os.urandom(5000), "d/e/c": b""}


def uncertified(folder):
    return f"Files in {folder} are not certified: the folder is named Certificates."


class TestSigningReport:
    def test_report_file_and_left_out_folders(self, tmp_path):
        top = make_tree(tmp_path / "tree", {**TREE, "d/Certificates/kept-out": "x",
                                            "Certificates/user-file": "y",
                                            "q/Certificates/sub/inside": "z"})
        report = tmp_path / "sign.json"
        r = run_cli("sign_folder", "-p", top, "--report", report)
        assert r.returncode == 0, r.stdout + r.stderr
        warnings = [(lv, name, m) for lv, name, m in r.log if lv == "WARNING"]
        # One line per folder that holds files; its subfolders are signed as usual.
        assert sorted(warnings) == sorted([("WARNING", SIGN_LOGGER, uncertified("Certificates")),
                                           ("WARNING", SIGN_LOGGER, uncertified("d/Certificates"))])
        doc = check_report(report.read_text())
        assert (doc["command"], doc["directory"], doc["match"], doc["passed"]) == \
            ("sign_folder", str(top), None, True)
        assert doc["certificate"] == str(top / "Certificates" / "Certificate.korvex")
        assert doc["counts"]["files"] == 4
        assert doc["counts"]["bytes"] == len("alpha") + 5000 + 1
        assert doc["findings"] == [] and doc["counts"]["failed_files"] == 0
        assert sorted(doc["uncertified_folders"]) == ["Certificates", "d/Certificates"]

        # Validation names the same folders; the certificate in the top's own folder is no user
        # file, so a plain signed tree warns about nothing.
        r = validate(top, None, 120, "--report", tmp_path / "validate.json")
        assert r.returncode == 0, r.stdout
        assert sorted((name, m) for lv, name, m in r.log if m.startswith("Files in ")) == \
            sorted([(VALIDATION_LOGGER, uncertified("Certificates")),
                    (VALIDATION_LOGGER, uncertified("d/Certificates"))])
        assert check_report((tmp_path / "validate.json").read_text())["uncertified_folders"] == \
            doc["uncertified_folders"]
        plain = make_tree(tmp_path / "plain", TREE)
        sign(plain)
        assert [lv for lv, _n, _m in validate(plain).log].count("WARNING") == 1  # the search

    def test_unreadable_file_fails_with_a_report(self, tmp_path):
        top = make_tree(tmp_path / "tree", TREE)
        os.symlink("loop", top / "loop")
        report = tmp_path / "sign.json"
        r = run_cli("sign_folder", "-p", top, "--report", report)
        assert r.returncode == 1
        doc = check_report(report.read_text())
        assert (doc["passed"], doc["certificate"]) == (False, None)
        assert report_changes(doc) == {("unreadable", "loop", None)}
        assert not (top / "Certificates").exists()

    def test_report_on_stdout_and_log_on_stderr(self, tmp_path):
        top = make_tree(tmp_path, TREE)
        r = run_cli("sign_folder", "-p", top, "--report", "-")
        assert r.returncode == 0
        doc = check_report(r.stdout)
        assert doc["counts"]["files"] == 3
        log = Run(0, r.stderr, "").log
        assert log[-1] == ("INFO", SIGN_LOGGER, "Certificate generated successfully!")


class TestValidationReport:
    def test_passed_report_and_summary(self, tmp_path):
        top = make_tree(tmp_path / "tree", TREE)
        sign(top)
        report = tmp_path / "report.json"
        r = validate(top, None, 120, "--summary", "--report", report)
        assert r.returncode == 0
        assert ("INFO", PROCEDURE_LOGGER,
                "Findings: 0 modified, 0 missing, 0 new, 0 moved, 0 unreadable, 0 not authentic") \
            in r.log
        doc = check_report(report.read_text())
        assert (doc["passed"], doc["findings"], doc["counts"]["failed_files"]) == (True, [], 0)
        assert doc["counts"]["files"] == 3 and doc["counts"]["seconds"] >= 0

    def test_summary_counts_by_kind(self, tmp_path):
        top = make_tree(tmp_path, {**TREE, "gone": "g", "unreadable": "u"})
        sign(top)
        write(top / "a.txt", "changed")
        os.remove(top / "gone")
        write(top / "added", "new")
        os.remove(top / "unreadable")
        os.symlink("unreadable", top / "unreadable")  # a loop
        os.rename(top / "d/b.bin", top / "d/e/b.bin")
        r = validate(top, None, 120, "--summary")
        lines = [m for lv, name, m in r.log if lv == "INFO" and name == PROCEDURE_LOGGER]
        assert lines == ["Findings: 1 modified, 1 missing, 1 new, 1 moved, 1 unreadable, "
                         "0 not authentic"]
        assert r.log[-1] == ("ERROR", PROCEDURE_LOGGER, "Files failed validation: 5")
        r = validate(top, None, 120, "--summary", "--match", "position")
        assert [m for lv, name, m in r.log if lv == "INFO" and name == PROCEDURE_LOGGER][0] \
            .endswith(" out of order")

    def test_names_that_are_not_text(self, tmp_path):
        top = make_tree(tmp_path, {"plain": "p", "bad\udcff name": "b", "tab\tname": "t"})
        sign(top)
        write(top / "bad\udcff name", "changed")
        write(top / "new \u20ac\U0001F600", "new")
        r = validate(top, None, 120, "--report", "-")
        doc = check_report(r.stdout)
        assert r.stdout.isascii()
        assert report_changes(doc) == {("modified", "bad\udcff name", None),
                                       ("new", "new \u20ac\U0001F600", None)}
        assert os.fsencode(next(f["path"] for f in doc["findings"] if f["kind"] == "modified")) \
            == b"bad\xff name"

    def test_library_keywords(self, tmp_path):
        from mavelin.utils import sign_folder, validate_certificate
        top = make_tree(tmp_path / "tree", TREE)
        with capture_logs():
            sign_folder(str(top), "silent", report=str(tmp_path / "s.json"))
            os.remove(top / "a.txt")
            with pytest.raises(SystemExit):
                validate_certificate(top, None, summary=True, report=tmp_path / "v.json")
        assert check_report((tmp_path / "s.json").read_text())["passed"]
        doc = check_report((tmp_path / "v.json").read_text())
        assert report_changes(doc) == {("missing", "a.txt", None)}
        assert doc["directory"] == str(top)


class TestQuietPipes:
    @pytest.mark.parametrize("command", ["sign_folder", "validate_certificate"])
    @pytest.mark.parametrize("report", [False, True], ids=["log", "report"])
    def test_standard_output_already_closed(self, tmp_path, command, report):
        top = make_tree(tmp_path, TREE)
        if command == "validate_certificate":
            sign(top)
        read_end, write_end = os.pipe()
        os.close(read_end)  # every write to standard output fails with EPIPE
        try:
            p = subprocess.run([sys.executable, "-m", "mavelin.cli", command, "-p", str(top)]
                               + (["--report", "-"] if report else []),
                               stdout=write_end, stderr=subprocess.PIPE, text=True, timeout=120)
        finally:
            os.close(write_end)
        # The run ends at the first line it cannot write: quietly, with status 1.
        assert p.returncode == 1
        assert "Traceback" not in p.stderr and "Logging error" not in p.stderr, p.stderr
        if not report:
            assert p.stderr == ""

    def test_reader_that_stops_early(self, tmp_path):
        top = make_tree(tmp_path, {f"f{i}": str(i) for i in range(300)})
        sign(top)
        for i in range(0, 300, 2):
            write(top / f"f{i}", "changed")
        p = subprocess.run(f"'{sys.executable}' -m mavelin.cli validate_certificate -p '{top}' "
                           "| head -1; exit ${PIPESTATUS[0]}", shell=True, capture_output=True,
                           text=True, timeout=120, executable="/bin/bash")
        assert (p.returncode, p.stderr, p.stdout.count("\n")) == (1, "", 1)


# --- the three ways of validating: by path on compact tables, by position, and step by step ----

def validation_route(top, tmp_path, route):
    """(certificate, options) that make validation of a signed `top` go the way `route` names:
    "steps" through the validator's own steps, which a table whose keys are not in node order
    (no form the compact tables take) makes it take."""
    if route == "position":
        return None, ("--match", "position")
    if route == "steps":
        with zipfile.ZipFile(top / "Certificates" / "Certificate.korvex") as zf:
            table = pickle.loads(zf.read("Certificate.pk"))
        cert = tmp_path / "reordered.korvex"
        zip_payload(cert, pickle_table(dict(reversed(table.items()))))
        return cert, ()
    return None, ()


ROUTES = ["path", "position", "steps"]


@pytest.mark.parametrize("route", ROUTES)
def test_dangling_links_are_named_and_left_out(tmp_path, route):
    top = make_tree(tmp_path / "tree", TREE)
    os.symlink("nowhere", top / "d" / "dangling")
    os.symlink("a.txt/below", top / "gone")
    support.unix_socket(top / "d" / "e" / "socket")  # certified as an empty file

    def named(run, logger):
        return sorted(m for lv, name, m in run.log if lv == "WARNING" and name == logger)

    lines = ["Link d/dangling is not certified: its target is missing or outside the folder.",
             "Link gone is not certified: its target is missing or outside the folder."]
    report = tmp_path / "report.json"
    r = run_cli("sign_folder", "-p", top, "--report", report)
    assert r.returncode == 0, r.stdout + r.stderr
    assert named(r, SIGN_LOGGER) == lines
    doc = check_report(report.read_text())
    assert (doc["counts"]["files"], sorted(doc["uncertified_links"])) == (4, ["d/dangling", "gone"])

    cert, options = validation_route(top, tmp_path, route)
    r = validate(top, cert, 120, "--report", report, *options)
    assert r.returncode == 0, r.stdout + r.stderr
    assert named(r, VALIDATION_LOGGER) == lines
    assert check_report(report.read_text())["uncertified_links"] == doc["uncertified_links"]


@pytest.mark.parametrize("route", ROUTES)
def test_an_unreadable_folder_is_one_finding(tmp_path, route, without_dac_override):
    top = make_tree(tmp_path / "tree", {"a.txt": "alpha", "b.txt": "beta",
                                        **{f"private/{i}": str(i) for i in range(5)},
                                        "private/sub/deeper": "x"})
    sign(top)
    cert, options = validation_route(top, tmp_path, route)
    report = tmp_path / "report.json"
    os.chmod(top / "private", 0)
    try:
        r = support.run_cli("validate_certificate", "-p", str(top), *map(str, options),
                            *(["-c", str(cert)] if cert else []), "--summary",
                            "--report", str(report), prefix=without_dac_override, timeout=120)
    finally:
        os.chmod(top / "private", 0o755)
    assert r.returncode == 1, r.stdout + r.stderr
    log = r.triples()
    assert [m for lv, name, m in log if lv == "WARNING" and name == VALIDATION_LOGGER] == \
        [f"Folder private can't be read: {os.strerror(errno.EACCES)}"]
    summary, = [m for lv, name, m in log if m.startswith("Findings: ")]
    assert summary.startswith("Findings: 0 modified, 0 missing, 0 new, 0 moved, 1 unreadable, ")
    assert log[-1] == ("ERROR", PROCEDURE_LOGGER, "Files failed validation: 1")
    doc = check_report(report.read_text())
    assert report_changes(doc) == {("unreadable", "private", None)}
    assert doc["counts"]["findings"]["unreadable"] == doc["counts"]["failed_files"] == 1
    assert doc["counts"]["not_checked"] == 6
