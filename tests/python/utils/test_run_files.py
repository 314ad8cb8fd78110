# The files a run itself reads or writes (the certificate in use, -o, --report): never files of the
# tree, checked before any work, and never a device, pipe or socket replaced.
import errno
import logging
import os
import pickle
import stat
import sys
import zipfile

import pytest

from support import run_cli, run_with_terminal_stderr, unix_socket

CERT = os.path.join("Certificates", "Certificate.korvex")


def tree(top):
    for rel, data in {"a.txt": b"alpha", "sub/b.bin": os.urandom(5000), "sub/c": b""}.items():
        path = top / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return top


def certified_paths(archive):
    with zipfile.ZipFile(archive) as zf:
        table = pickle.loads(zf.read("Certificate.pk"))
    return sorted(node.file_path for node in table.values())


def cluster_client():
    distributed = pytest.importorskip("distributed")
    return distributed.Client(processes=False, n_workers=1, threads_per_worker=2,
                              dashboard_address=None)


# Signing writes the certificate (`-o`) or its report into the tree, validation reads the
# certificate there (named, or found by the search) and writes its report there: right after the
# signing, the tree validates, by path, by position and on a cluster.
@pytest.mark.parametrize("case", ["output at the top, found", "output below, named",
                                  "output below, named, by position", "report in the tree",
                                  "output at the top, on a cluster",
                                  "output at the top, with the progress line"])
def test_the_runs_own_files_are_no_files_of_the_tree(tmp_path, case):
    top = tree(tmp_path / "t")
    cert = top / ("sub/c.korvex" if "below" in case else "Certificate.korvex")
    sign_args, validate_args = ["-o", cert], ["-c", cert] if "named" in case else []
    if "report" in case:
        cert = top / CERT
        sign_args, validate_args = ["--report", top / "r.json"], ["--report", top / "r.json"]
    if "position" in case:
        validate_args += ["--match", "position"]
    if "cluster" in case:
        from mavelin.utils import sign_folder, validate_certificate
        with cluster_client() as client:
            sign_folder(top, "silent", output=cert, client=client)
            validate_certificate(top, None, client=client)
            validate_certificate(top, None, client=client, match="position")
    elif "progress" in case:  # the walk ends before the hashing starts
        for command, args in (("sign_folder", sign_args), ("validate_certificate", [])):
            status, stdout, terminal = run_with_terminal_stderr(
                [sys.executable, "-m", "mavelin", command, "-p", top, *args])
            assert status == 0, stdout + terminal
    else:
        r = run_cli("sign_folder", "-p", top, *sign_args)
        assert r.returncode == 0, r.stdout + r.stderr
        for _ in range(2):  # the report the first validation wrote is no file of the tree either
            r = run_cli("validate_certificate", "-p", top, *validate_args)
            assert r.returncode == 0, r.stdout + r.stderr
    assert certified_paths(cert) == ["a.txt", "sub/b.bin", "sub/c"]


def test_a_certificate_at_the_top_and_one_in_certificates(tmp_path):
    top = tree(tmp_path / "t")
    assert run_cli("sign_folder", "-p", top).returncode == 0
    assert run_cli("sign_folder", "-p", top, "-o", top / "Certificate.korvex").returncode == 0
    r = run_cli("validate_certificate", "-p", top)
    assert r.returncode == 0, r.stdout + r.stderr
    warnings = [line for line in r.stdout.splitlines() if "[WARNING]" in line]
    assert len(warnings) == 2  # the search's own, and this one
    assert warnings[1].endswith(f"Certificate file {top}/Certificate.korvex is used; another one "
                                f"exists at {top}/{CERT}.")


def special_file(path, kind):
    if kind == "character device":
        if os.geteuid() != 0:
            pytest.skip("making a device file needs root")
        os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # what /dev/null is
    elif kind == "named pipe":
        os.mkfifo(path)
    elif kind == "socket":
        unix_socket(path)
    else:
        os.symlink("elsewhere", path)


# A --report or -o that cannot take the file is refused before any work: exit status 2 on the
# command line, an OSError from the library; nothing is written and what was there stays.
@pytest.mark.parametrize("command, option, where", [
    ("sign_folder", "--report", "missing folder"),
    ("validate_certificate", "--report", "missing folder"),
    ("sign_folder", "--report", "character device"),
    ("validate_certificate", "--report", "named pipe"),
    ("sign_folder", "-o", "socket"),
    ("sign_folder", "-o", "character device"),
    ("sign_folder", "--report", "symbolic link"),
    ("sign_folder", "--report", "the certificate"),
    ("validate_certificate", "--report", "the certificate"),
    ("validate_certificate", "--report", "the named certificate"),
])
def test_unusable_outputs_are_refused_before_any_work(tmp_path, command, option, where):
    top = tree(tmp_path / "t")
    args = []
    target = tmp_path / "out"
    if where == "missing folder":
        target = tmp_path / "missing" / "r.json"
    elif where == "the certificate" and command == "sign_folder":
        args = ["-o", target]
    elif where == "the certificate":
        (top / "Certificates").mkdir()
        target = top / CERT
    elif where == "the named certificate":
        target = tmp_path / "c.korvex"
        target.write_bytes(b"not read")
        args = ["-c", target]
    else:
        special_file(target, where)
    before = os.lstat(target) if os.path.lexists(target) else None
    listing = sorted(os.listdir(top))
    cli = ["-p", top, *args, option, target] if command == "sign_folder" else \
        ["-p", top, *(args or ["-c", ""]), option, target]
    r = run_cli(command, *cli)
    assert (r.returncode, r.stdout) == (2, ""), r.stdout + r.stderr
    assert ("'--report'" if option == "--report" else "'--output'") in r.stderr

    import mavelin.utils
    procedure = getattr(mavelin.utils, command)
    keywords = {"report" if option == "--report" else "output": target}
    if args and command == "sign_folder":
        keywords["output"] = target
    with pytest.raises(OSError) as caught:
        if command == "sign_folder":
            procedure(top, "silent", **keywords)
        else:
            procedure(top, args[1] if args else None, **keywords)
    assert caught.value.errno in (errno.ENOENT, errno.EINVAL, errno.ELOOP)
    assert sorted(os.listdir(top)) == listing
    if before:
        after = os.lstat(target)
        assert (after.st_ino, after.st_mode) == (before.st_ino, before.st_mode)


class _MoveReportAway(logging.Handler):
    """Points the report into a missing folder once `message` is logged, after the checks."""

    def __init__(self, report, message):
        super().__init__()
        self.report, self.message = report, message

    def emit(self, record):
        if record.getMessage() == self.message:
            self.report.path = self.report.path.parent / "gone" / "r.json"


class _Report:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return os.fspath(self.path)


# A report that cannot be written after all leaves the run's own outcome said: the certificate
# was written, the verdict given; the run then ends with status 1.
@pytest.mark.parametrize("command", ["sign_folder", "validate_certificate"])
def test_a_report_that_fails_at_the_end_says_what_was_done(tmp_path, command, caplog):
    import mavelin.utils
    top = tree(tmp_path / "t")
    if command == "validate_certificate":
        mavelin.utils.sign_folder(top, "silent")
    report = _Report(tmp_path / "r.json")
    flip = "Saving certificate..." if command == "sign_folder" else "Validation successfull"
    handler = _MoveReportAway(report, flip)
    logging.getLogger("mavelin").addHandler(handler)
    caplog.set_level(logging.INFO, logger="mavelin")
    try:
        with pytest.raises(SystemExit) as caught:
            if command == "sign_folder":
                mavelin.utils.sign_folder(top, report=report)
            else:
                # The verdict comes after the report: the move happens too late for it here,
                # so the flip is made on the line before.
                handler.message = "Certificate file wasn't provided. Performing search..."
                mavelin.utils.validate_certificate(top, None, report=report)
    finally:
        logging.getLogger("mavelin").removeHandler(handler)
    assert caught.value.code == 1
    messages = [(r.levelname, r.getMessage()) for r in caplog.records]
    error = f"Report {report.path} can't be written: No such file or directory"
    if command == "sign_folder":
        assert ("ERROR", f"{error}. The certificate was written to {top}/{CERT}.") in messages
        assert ("INFO", "Certificate generated successfully!") in messages
        assert zipfile.is_zipfile(top / CERT)
    else:
        assert messages[-3:-1] == [("ERROR", error), ("INFO", "Validation successfull")]
