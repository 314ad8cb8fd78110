# mavelin.sign and mavelin.validate: a Result that is the report's data, the package's exceptions,
# nothing printed when the caller configured no logging, and the interpreter lock released.
import json
import os
import shutil
import subprocess
import sys
import threading
import time

import pytest

import mavelin
import mavelin.utils
from support import run_process
from validation_helpers import capture_logs, make_tree, write

# Runs one call in a fresh interpreter with logging left unconfigured; what it returned or raised
# goes to a file, so that its standard output and error hold only what the call printed.
CALL = r"""
import dataclasses, json, sys, mavelin
function, top, out, kwargs = sys.argv[1], sys.argv[2], sys.argv[3], json.loads(sys.argv[4])
try:
    doc = {"result": dataclasses.asdict(getattr(mavelin, function)(top, **kwargs))}
except mavelin.Error as e:
    doc = {"error": [c.__name__ for c in type(e).__mro__],
           "errno": getattr(e, "errno", None), "filename": getattr(e, "filename", None)}
with open(out, "w") as f:
    json.dump(doc, f)
"""


def call(tmp_path, function, top, prefix=(), **kwargs):
    out = tmp_path / "call.json"
    r = run_process([*prefix, sys.executable, "-c", CALL, function, str(top), str(out),
                     json.dumps(kwargs)])
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
    return json.loads(out.read_text())


def as_result(report):
    """The report's document in the Result's fields."""
    counts = report["counts"]
    return {"command": report["command"], "directory": report["directory"],
            "certificate": report["certificate"], "match": report["match"],
            "passed": report["passed"], "files": counts["files"], "bytes": counts["bytes"],
            "seconds": counts["seconds"], "failed_files": counts["failed_files"],
            "not_checked": counts["not_checked"], "reread": counts.get("reread"),
            "reused": counts.get("reused"), "counts": counts["findings"],
            "findings": report["findings"], "uncertified_folders": report["uncertified_folders"],
            "uncertified_links": report["uncertified_links"],
            "signature": report.get("signature")}


def change(top, how):
    if how in ("modified", "signed"):
        write(top / "a.txt", b"changed")
    elif how == "missing":
        os.remove(top / "a.txt")
    elif how == "new":
        write(top / "new.txt", b"new")
    elif how == "moved":
        os.rename(top / "a.txt", top / "z.txt")
    elif how == "unreadable":
        os.chmod(top / "a.txt", 0)
    elif how == "unreadable folder":
        os.chmod(top / "d", 0)
    elif how == "mode and content":
        os.chmod(top / "a.txt", 0o600)
        write(top / "a.txt", b"changed")
    elif how == "by position":
        os.remove(top / "a.txt")
        write(top / "c.txt", b"c")


@pytest.mark.parametrize("function, how, options, findings", [
    ("validate", "modified", {}, [("modified", "a.txt", None)]),
    ("validate", "missing", {}, [("missing", "a.txt", None)]),
    ("validate", "new", {}, [("new", "new.txt", None)]),
    ("validate", "moved", {}, [("moved", "a.txt", "z.txt")]),
    ("validate", "unreadable", {}, [("unreadable", "a.txt", None)]),
    ("validate", "unreadable folder", {}, [("unreadable", "d", None)]),
    ("validate", "by position", {"match": "position"},
     [("not_authentic", "c.txt", "a.txt"), ("out_of_order", "c.txt", "a.txt"),
      ("modified", "c.txt", "a.txt"), ("missing", "a.txt", None), ("new", "c.txt", None)]),
    ("validate", "mode and content", {"check_metadata": True},
     [("modified", "a.txt", None), ("metadata", "a.txt", None)]),
    ("sign", "unreadable", {}, [("unreadable", "a.txt", None)]),
    ("sign", "unreadable", {"update": True}, [("unreadable", "a.txt", None)]),
    pytest.param("validate", "signed", {}, [("modified", "a.txt", None)],
                 marks=pytest.mark.skipif(not shutil.which("ssh-keygen"), reason="ssh-keygen")),
])
def test_a_finding_is_in_the_result_as_in_the_report_and_nothing_is_printed(
        tmp_path, without_dac_override, function, how, options, findings):
    top = make_tree(tmp_path / "tree", {"a.txt": b"a", "d/b.txt": b"b"})
    kwargs = {"report": str(tmp_path / "report.json")} | options
    key = tmp_path / "key"
    if how == "signed":
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(key)], check=True)
        (tmp_path / "allowed").write_text("alice@example " + (tmp_path / "key.pub").read_text())
        kwargs["allowed_signers"] = str(tmp_path / "allowed")
    keeps_metadata = bool({"update", "check_metadata"} & options.keys())
    if function == "validate" or keeps_metadata:
        mavelin.sign(top, update=keeps_metadata, key=key if how == "signed" else None)
    change(top, how)
    try:
        doc = call(tmp_path, function, top, without_dac_override, **kwargs)
    finally:
        for path in (top / "a.txt", top / "d"):
            if os.path.exists(path):
                os.chmod(path, 0o755)
    result = doc["result"]
    assert not result["passed"]
    assert [(f["kind"], f["path"], f["other_path"]) for f in result["findings"]] == findings
    assert result == as_result(json.loads((tmp_path / "report.json").read_text()))
    assert (result["signature"] or {}).get("principal") == ("alice@example" if key.exists() else None)


@pytest.mark.parametrize("function, procedure", [
    (mavelin.sign, lambda top: mavelin.utils.sign_folder(top)),
    (mavelin.validate, lambda top: mavelin.utils.validate_certificate(top, None)),
])
def test_with_logging_configured_the_records_are_the_procedures(tmp_path, function, procedure):
    top = make_tree(tmp_path, {"a.txt": b"a", "d/b.txt": b"b"})
    mavelin.sign(top)
    write(top / "a.txt", b"changed")
    logs = []
    for run in (procedure, function):
        with capture_logs() as cap:
            try:
                run(top)
            except SystemExit:
                pass
        logs.append([r for r in cap.records if not r[2].startswith("Elapsed time")])
    assert logs[0] == logs[1] and logs[0]


def refuse(tmp_path, top, what):
    if what == "empty":
        top.mkdir()
    elif what == "unreadable folder":
        make_tree(top, {"d/b.txt": b"b"})
        os.chmod(top / "d", 0)
    elif what == "link":
        make_tree(top, {"a.txt": b"a"})
        os.symlink(tmp_path, top / "Certificates")
    elif what == "unsigned":
        mavelin.sign(make_tree(top, {"a.txt": b"a"}))
    elif what == "garbage":
        make_tree(top, {"a.txt": b"a", "Certificates/Certificate.korvex": b"not an archive"})
    elif what != "missing folder":
        make_tree(top, {"a.txt": b"a"})


@pytest.mark.parametrize("function, what, kwargs, error, bases", [
    ("validate", "missing folder", {}, "ArgumentRefused", "ValueError"),
    ("validate", "tree", {"jobs": 0}, "ArgumentRefused", "ValueError"),
    ("sign", "tree", {"report": "/nonexistent/report.json"}, "ArgumentRefused", "ValueError"),
    ("validate", "tree", {}, "CertificateNotFound", "FileNotFoundError"),
    ("validate", "tree", {"certificate": "none.korvex"}, "CertificateNotFound", "OSError"),
    ("validate", "garbage", {}, "CertificateCorrupted", "Error"),
    ("sign", "unreadable folder", {}, "TreeUnreadable", "OSError"),
    ("sign", "empty", {}, "NoFiles", "Error"),
    ("sign", "link", {}, "WriteFailed", "OSError"),
    ("validate", "unsigned", {"allowed_signers": os.devnull}, "SignatureRefused", "Error"),
])
def test_a_run_without_verdict_raises_the_packages_error_and_prints_nothing(
        tmp_path, without_dac_override, function, what, kwargs, error, bases):
    top = tmp_path / "tree"
    refuse(tmp_path, top, what)
    try:
        doc = call(tmp_path, function, top, without_dac_override, **kwargs)
    finally:
        if (top / "d").exists():
            os.chmod(top / "d", 0o755)
    assert doc["error"][0] == error and {"Error", bases} <= set(doc["error"])
    if "OSError" in doc["error"]:
        assert doc["errno"] and doc["filename"]


def test_another_thread_runs_while_a_validation_works(tmp_path):
    top = make_tree(tmp_path, {f"d{i % 20}/f{i}": os.urandom(4096) for i in range(3000)})
    mavelin.sign(top)
    ticks, done = [0], threading.Event()

    def count():
        while not done.is_set():
            ticks[0] += 1
            time.sleep(0.0005)

    # The counter gets the interpreter lock only when the running thread lets it go.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(100)
    counter = threading.Thread(target=count)
    try:
        counter.start()
        before = ticks[0]
        result = mavelin.validate(top, top / "Certificates" / "Certificate.korvex")
        during = ticks[0] - before
    finally:
        done.set()
        sys.setswitchinterval(interval)
        counter.join()
    assert result.passed and result.files == 3000
    assert during > 0
