# Options of a run: hashing threads (--jobs), the certificate's place (--output) and the progress line.
import os
import re
import shutil
import sys
import zipfile
from pathlib import Path

import pytest

from oracles import unzip_test, zipfile_archive_of
from support import run_cli, run_process, run_python, run_with_terminal_stderr

CERT = Path("Certificates", "Certificate.korvex")


def tree(top):
    """Small files and one of several 1 MiB ranges, which threads share."""
    top.mkdir(parents=True, exist_ok=True)
    (top / "sub").mkdir()
    (top / "big.bin").write_bytes(os.urandom(3 * 1024 * 1024 + 5))
    for i in range(40):
        (top / "sub" / f"f{i}").write_bytes(os.urandom(i * 97))
    return top


def payload_of(archive):
    with zipfile.ZipFile(archive) as zf:
        assert zf.namelist() == ["Certificate.pk"]
        return zf.read("Certificate.pk")


def listing(top):
    return sorted(str(p.relative_to(top)) for p in Path(top).rglob("*"))


# --- --jobs ---------------------------------------------------------------------------------------

def test_any_number_of_jobs_gives_the_same_certificate_and_validates(tmp_path):
    top = tree(tmp_path / "t")
    payloads = []
    for jobs in ([], ["-j", "1"], ["--jobs", "3"]):
        r = run_cli("sign_folder", "-p", top, *jobs)
        assert r.returncode == 0, r.stdout + r.stderr
        payloads.append(payload_of(top / CERT))
        r = run_cli("validate_certificate", "-p", top, *jobs)
        assert r.returncode == 0, r.stdout + r.stderr
    assert payloads[0] == payloads[1] == payloads[2]

    from mavelin.utils import sign_folder, validate_certificate
    sign_folder(top, "silent", jobs=1)
    assert payload_of(top / CERT) == payloads[0]
    validate_certificate(top, None, jobs=2)


@pytest.mark.parametrize("value", ["0", "-1", "two", "1.5"])
def test_jobs_outside_the_whole_numbers_from_1_are_usage_errors(tmp_path, value):
    top = tree(tmp_path / "t")
    for command in ("sign_folder", "validate_certificate"):
        r = run_cli(command, "-p", top, "-j", value)
        assert r.returncode == 2 and r.stdout == "" and "--jobs" in r.stderr
    assert not (top / "Certificates").exists()


@pytest.mark.parametrize("jobs, error", [(0, ValueError), (-3, ValueError), (True, TypeError),
                                         ("2", TypeError), (1.0, TypeError)])
def test_library_jobs_are_checked_before_any_work(tmp_path, jobs, error):
    from mavelin.utils import sign_folder, validate_certificate
    top = tree(tmp_path / "t")
    with pytest.raises(error, match="jobs"):
        sign_folder(top, jobs=jobs)
    with pytest.raises(error, match="jobs"):
        validate_certificate(top, None, jobs=jobs)
    assert not (top / "Certificates").exists()


# --- --output ---------------------------------------------------------------------------------------

def test_output_elsewhere_leaves_the_tree_alone_and_validates_with_c(tmp_path):
    top = tree(tmp_path / "t")
    before = listing(top)
    out = tmp_path / "out"
    out.mkdir()
    r = run_cli("sign_folder", "-p", top, "-o", out / "t.korvex")
    assert r.returncode == 0, r.stdout + r.stderr
    assert listing(top) == before
    assert listing(out) == ["t.korvex"]  # no payload file or temporary left beside it
    assert unzip_test(out / "t.korvex")[0] == 0
    r = run_cli("validate_certificate", "-p", top, "-c", out / "t.korvex")
    assert r.returncode == 0, r.stdout + r.stderr

    # The same archive as in the default place, laid out as zipfile lays it out.
    assert run_cli("sign_folder", "-p", top).returncode == 0
    assert payload_of(out / "t.korvex") == payload_of(top / CERT)
    with zipfile.ZipFile(out / "t.korvex") as zf:
        info = zf.infolist()[0]
    with zipfile.ZipFile(top / CERT) as zf:
        assert zf.infolist()[0].external_attr == info.external_attr
    work = tmp_path / "work"
    work.mkdir()
    assert (out / "t.korvex").read_bytes() == zipfile_archive_of(
        payload_of(out / "t.korvex"), info.date_time, info.external_attr >> 16, work)


def test_output_is_replaced_whole_or_not_at_all(tmp_path):
    top = tree(tmp_path / "t")
    target = tmp_path / "c.korvex"
    target.write_bytes(b"previous")
    from mavelin.utils import sign_folder
    sign_folder(top, "silent", output=target)  # a path object, relative names work as well
    first = target.read_bytes()
    assert first != b"previous" and zipfile.is_zipfile(target)

    os.symlink("loop", top / "loop")  # a file that cannot be opened: the run fails
    r = run_cli("sign_folder", "-p", top, "-o", target)
    assert r.returncode == 1
    assert target.read_bytes() == first
    assert sorted(os.listdir(tmp_path)) == ["c.korvex", "t"]


def test_read_only_tree_can_be_signed_elsewhere(tmp_path, without_dac_override):
    top = tree(tmp_path / "t")
    out = tmp_path / "out"
    out.mkdir()
    for d, _dirs, _files in os.walk(top):
        os.chmod(d, 0o555)
    try:
        r = run_cli("sign_folder", "-p", top, prefix=without_dac_override)
        assert r.returncode == 1  # the default place cannot be written
        r = run_cli("sign_folder", "-p", top, "-o", out / "c.korvex", prefix=without_dac_override)
        assert r.returncode == 0, r.stdout + r.stderr
        r = run_cli("validate_certificate", "-p", top, "-c", out / "c.korvex",
                    prefix=without_dac_override)
        assert r.returncode == 0, r.stdout + r.stderr
    finally:
        for d, _dirs, _files in os.walk(top):
            os.chmod(d, 0o755)


@pytest.mark.parametrize("where", ["missing folder", "a directory"])
def test_output_that_cannot_be_a_file_is_a_usage_error(tmp_path, where):
    top = tree(tmp_path / "t")
    target = tmp_path / "no" / "c.korvex" if where == "missing folder" else tmp_path
    r = run_cli("sign_folder", "-p", top, "-o", target)
    assert r.returncode == 2 and r.stdout == "" and "--output" in r.stderr
    assert not (top / "Certificates").exists()


# --- the progress line --------------------------------------------------------------------------------

LINE = re.compile(rb"\rfingerprinting: [\d,]+/41 files, [\d.]+ [kMG]?B[^\r\x1b]*\x1b\[K")
CLEAR = b"\r\x1b[K"


@pytest.mark.parametrize("command", ["sign_folder", "validate_certificate"])
def test_progress_is_drawn_on_a_terminal_and_cleared_before_the_log_goes_on(tmp_path, command):
    top = tree(tmp_path / "t")
    if command == "validate_certificate":
        assert run_cli("sign_folder", "-p", top).returncode == 0
    status, stdout, terminal = run_with_terminal_stderr(
        [sys.executable, "-m", "mavelin", command, "-p", top])
    assert status == 0, stdout + terminal
    assert LINE.search(terminal), terminal
    assert terminal.endswith(CLEAR)
    # Every line drawn is cleared again: nothing else reaches the terminal.
    assert LINE.sub(b"", terminal).replace(CLEAR, b"") == b""
    assert b"\r" not in stdout and b"\x1b" not in stdout  # log lines stay as they are


def test_the_certificate_is_the_same_whether_the_line_is_drawn_or_not(tmp_path):
    # With the line the files are counted first and hashed after the walk; without it they are
    # hashed while the walk goes on.
    top = tree(tmp_path / "t")
    status, stdout, terminal = run_with_terminal_stderr(
        [sys.executable, "-m", "mavelin", "sign_folder", "-p", top, "-o", tmp_path / "drawn.korvex"])
    assert status == 0 and LINE.search(terminal), stdout + terminal
    r = run_cli("sign_folder", "-p", top, "-o", tmp_path / "plain.korvex")
    assert r.returncode == 0, r.stdout + r.stderr
    def members(name):  # the archives' own times may differ by a second
        with zipfile.ZipFile(tmp_path / name) as z:
            return [(i.filename, z.read(i)) for i in z.infolist()]

    assert members("drawn.korvex") == members("plain.korvex")


def test_no_progress_in_silent_mode_from_the_library_or_on_a_pipe(tmp_path):
    top = tree(tmp_path / "t")
    status, stdout, terminal = run_with_terminal_stderr(
        [sys.executable, "-m", "mavelin", "sign_folder", "-p", top, "-m", "silent"])
    assert (status, stdout, terminal) == (0, b"", b"")
    status, stdout, terminal = run_with_terminal_stderr(
        [sys.executable, "-c", "import sys, mavelin.utils as u; u.sign_folder(sys.argv[1], 'x')",
         top])
    assert (status, terminal) == (0, b"")
    r = run_cli("sign_folder", "-p", top)  # standard error is a pipe here
    assert r.returncode == 0 and r.stderr == ""
    r = run_cli("validate_certificate", "-p", top)
    assert r.returncode == 0 and r.stderr == ""
