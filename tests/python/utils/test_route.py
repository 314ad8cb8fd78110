# The two routes of each procedure agree: the compact node table and the steps of a caller's
# class (FileManager when signing, CertificateValidator when validating) give the same log lines,
# certificate bytes, findings, verdicts and reports; and a caller's class that overrides a step
# sees its override called, by both procedures.
import errno
import json
import os
import pickle
import subprocess
import sys
import zipfile

import pytest

import mavelin.core.file_managing as file_managing
import mavelin.core.validation as validation
import mavelin.utils
from oracles import certificate_content, expected_certificate, zipfile_archive_of
from support import unix_socket
from validation_helpers import (VALIDATION_LOGGER, capture_logs, check_report, host_certificate,
                                make_tree, node_table, pickle_table, scan_order, sign, write,
                                zip_payload)

# Signing

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
    assert warnings == [f"Link {p} is not certified: its target is missing or outside the folder." for p in links]
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


# Validation by path

TREE = {f"{folder}{i}.txt": f"{folder} file {i}\n" * (i * 200 + 1)
        for folder in ("", "a/", "a/b/", "c/") for i in range(5)}
TREE["c/Certificates/kept.txt"] = "left out for its folder's name"
TREE["c/same-1.txt"] = TREE["c/same-2.txt"] = "twins: never a move"


def changed_tree(tmp_path):
    """A tree and the table of its certificate as it was, with a change of every kind since."""
    top = make_tree(tmp_path / "tree", TREE)
    table = node_table(top, without_fingerprint=("a/2.txt",))  # unsigned
    table["node_id_3"].id = 33  # not authentic
    write(top / "a/b/1.txt", b"modified")
    os.remove(top / "c/0.txt")  # missing
    os.rename(top / "a/4.txt", top / "c/moved.txt")
    write(top / "a/b/new.txt", b"new")
    os.remove(top / "2.txt")
    os.symlink("2.txt", top / "2.txt")  # unreadable: a loop
    os.remove(top / "c/same-1.txt")  # missing twin: its content is in c/same-2.txt as well
    return top, table


def by_steps(top, cert, match):
    """Log records, failed count and findings of the validator's steps, one by one."""
    from mavelin.core.validation import CertificateValidator
    v = CertificateValidator(str(cert), str(top), chunk_size=2048, transformation_step=4)
    with capture_logs() as cap:
        v.deserealize_certificate()
        v.generate_fingerprints()
        failed = v.validate_nodes(match)
    return cap.records, failed, v._findings


def by_procedure(top, cert, report, match):
    from mavelin.utils import validate_certificate
    with capture_logs() as cap, pytest.raises(SystemExit):
        validate_certificate(str(top), str(cert), match=match, summary=True, report=str(report))
    return cap.records, check_report(report.read_text())


def stable(report):
    """A report without what differs from run to run."""
    return {k: v for k, v in report.items() if k not in ("certificate", "counts")} | {
        "counts": {k: v for k, v in report["counts"].items() if k != "seconds"}}


def forms(top, table, folder):
    """Certificates of one table: the signer's stream, other protocols, deflated, and keys out
    of order (which only the record form can hold)."""
    folder.mkdir()
    items = list(table.items())
    swapped = dict([items[1], items[0]] + items[2:])
    return {
        "protocol-4": host_certificate(top, folder / "p4.korvex", table=table),
        "protocol-2": host_certificate(top, folder / "p2.korvex", protocol=2, table=table),
        "protocol-5-fast": host_certificate(top, folder / "p5.korvex", protocol=5, fast=True,
                                            table=table),
        "deflated": host_certificate(top, folder / "d.korvex", table=table,
                                     compression=zipfile.ZIP_DEFLATED),
        "keys-out-of-order": host_certificate(top, folder / "k.korvex", table=swapped),
    }


@pytest.mark.parametrize("match", ["path", "position"])
def test_every_kind_of_finding_as_the_steps_give_it(tmp_path, match):
    top, table = changed_tree(tmp_path)
    reports = {}
    for form, cert in forms(top, table, tmp_path / "certs").items():
        step_records, failed, findings = by_steps(top, cert, match)
        records, report = by_procedure(top, cert, tmp_path / f"{form}.json", match)
        assert [r for r in records if r[1] == VALIDATION_LOGGER] == step_records, form
        assert f"Files failed validation: {failed}" in [m for _l, _n, m in records], form
        assert [(f["kind"], f["path"], f["other_path"]) for f in report["findings"]] == \
            [tuple(f) for f in findings], form
        reports[form] = stable(report)
    kinds = {f["kind"] for f in reports["protocol-4"]["findings"]}
    assert kinds == {"modified", "missing", "new", "unreadable", "not_authentic"} | (
        {"moved"} if match == "path" else {"out_of_order"})
    assert reports["protocol-4"]["counts"]["files"] == len(scan_order(top))
    assert reports["protocol-4"]["uncertified_folders"] == ["c/Certificates"]
    # Keys out of order change where two records stand in the certificate, nothing else by path.
    if match == "position":
        del reports["keys-out-of-order"]
    assert all(r == reports["protocol-4"] for r in reports.values()), reports


# Verdicts of the procedure and of the validator's deserealize_certificate on one certificate,
# one case after another in one child.
_CHILD = r"""
import json, logging, sys, zipfile
from mavelin.core.validation import CertificateValidator
from mavelin.utils import validate_certificate

class Cap(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG); self.lines = []
    def emit(self, r): self.lines.append(r.getMessage())

def verdict(run):
    cap = Cap(); log = logging.getLogger("mavelin"); log.addHandler(cap)
    try:
        run()
        out = "loaded"
    except SystemExit:
        said = [m for m in cap.lines if m.startswith("Certificate file is corrupted")]
        out = said[0] if said else "loaded"
    except BaseException as e:
        out = type(e).__name__ + ": " + str(e)
    log.removeHandler(cap)
    return out

logging.getLogger("mavelin").setLevel(logging.DEBUG)
top = sys.argv[1]
for cert in sys.argv[2:]:
    v = CertificateValidator(cert, top, chunk_size=2048, transformation_step=4)
    steps = verdict(v.deserealize_certificate)
    procedure = verdict(lambda: validate_certificate(top, cert))
    print(json.dumps([cert, steps, procedure]), flush=True)
"""


def payload_of(cert):
    with zipfile.ZipFile(cert) as zf:
        return zf.read("Certificate.pk")


def test_damaged_payloads_get_the_steps_verdict(tmp_path):
    top = make_tree(tmp_path / "tree", {"a.txt": b"alpha", "sub/b.bin": bytes(range(256)) * 9,
                                        "sub/c": b""})
    sign(top)
    payload = payload_of(top / "Certificates" / "Certificate.korvex")
    variants = {}
    stride = max(1, len(payload) // 150)
    for i in range(0, len(payload), stride):
        variants[f"cut-{i}"] = payload[:i]
        for value in (payload[i] ^ 1, payload[i] ^ 0x80, 0x94):
            variants[f"byte-{i}-{value}"] = payload[:i] + bytes([value]) + payload[i + 1:]
    variants["trailing"] = payload + b"."
    variants["doubled"] = payload + payload
    folder = tmp_path / "certs"
    certs = [str(zip_payload(folder / f"{n}.korvex", data)) for n, data in variants.items()]
    certs.append(str(folder / "absent.korvex"))
    (folder / "not-a-zip.korvex").write_bytes(b"not an archive at all")
    certs.append(str(folder / "not-a-zip.korvex"))
    r = subprocess.run([sys.executable, "-c", _CHILD, str(top), *certs], capture_output=True,
                       text=True, timeout=600)
    assert r.returncode == 0, r.stderr[-2000:]
    outcomes = [json.loads(line) for line in r.stdout.splitlines()]
    assert len(outcomes) == len(certs)
    assert [o for o in outcomes if o[1] != o[2]] == []
    seen = {o[1].split(":")[0] for o in outcomes}
    assert {"loaded", "Certificate file is corrupted", "FileNotFoundError", "BadZipFile"} <= seen, seen


def test_unchanged_table_from_the_record_form_still_passes(tmp_path):
    top = make_tree(tmp_path / "tree", TREE)
    items = list(node_table(top).items())
    cert = zip_payload(top / "Certificates" / "Certificate.korvex",
                       pickle_table(dict(items[::-1])))
    from mavelin.utils import validate_certificate
    with capture_logs() as cap:
        validate_certificate(str(top), str(cert))
    assert "Validation successfull" in cap.messages("INFO")


# A caller's class

class Manager(file_managing.FileManager):
    calls = []

    def _parse_directory(self):
        Manager.calls.append("_parse_directory")
        return super()._parse_directory()


class Validator(validation.CertificateValidator):
    calls = []

    def generate_fingerprints(self):
        Validator.calls.append("generate_fingerprints")
        return super().generate_fingerprints()


@pytest.mark.parametrize("procedure, module, cls", [
    ("sign", file_managing, Manager),
    ("validate", file_managing, Manager),
    ("validate", validation, Validator),
], ids=["sign-manager", "validate-manager", "validate-validator"])
def test_an_overridden_step_is_called_and_the_outcome_kept(tmp_path, monkeypatch, procedure,
                                                            module, cls):
    top = make_tree(tmp_path / "tree", {"a.txt": "alpha", "d/b.bin": b"\0" * 5000})
    mavelin.utils.sign_folder(str(top), "silent")
    (top / "a.txt").write_text("changed")

    def run():
        with capture_logs() as cap:
            try:
                if procedure == "sign":
                    (top / "Certificates" / "Certificate.korvex").unlink()
                    mavelin.utils.sign_folder(str(top))
                    with zipfile.ZipFile(top / "Certificates" / "Certificate.korvex") as zf:
                        status = zf.read("Certificate.pk")
                else:
                    status = mavelin.utils.validate_certificate(str(top), None)
            except SystemExit as stop:
                status = stop.code
        return status, [r for r in cap.records if not r[2].startswith("Elapsed time: ")]

    own = run()
    cls.calls.clear()
    with monkeypatch.context() as patch:
        patch.setattr(module, cls.__bases__[0].__name__, cls)
        replaced = run()
    assert cls.calls, "the caller's override was not called"
    assert replaced == own
