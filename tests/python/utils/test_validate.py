# Validation end to end: loading, the comparison by position and its verdicts, the procedure and command.
import errno
import os
import shutil
import socket
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from support import unix_socket
from validation_helpers import (ELAPSED, FOUND, NO_CERT_WARNING, PROCEDURE_LOGGER,
                                VALIDATION_LOGGER, Run, capture_logs, host_certificate, make_tree,
                                node_table, reference_fingerprint, run_cli, scan_order, sign,
                                validate, validate_by_position, write)

ARCHIVE = "Certificate.korvex"

# A chain of folders, each holding at most one file and at most one subfolder, so the scan
# order is fixed whatever the file system's listing order. d1/d2/d3 holds no file: a file
# created there lands in the middle of the scan order.
CHAIN = {
    "f0.txt": b"zero",
    "d1/f1.txt": b"one" * 700,
    "d1/d2/f2.txt": bytes(range(256)) * 40,
    "d1/d2/d3/d4/f4.txt": b"four" * 1025,
    "d1/d2/d3/d4/d5/f5.txt": b"",
    "d1/d2/d3/d4/d5/d6/f6.txt": b"six\n" * 3000,
}
F0, F1, F2, F4, F5, F6 = CHAIN
NEW_MIDDLE = "d1/d2/d3/new.txt"
NEW_END = "d1/d2/d3/d4/d5/d6/d7/new.txt"


def chain(top):
    make_tree(top, CHAIN)
    assert scan_order(top) == list(CHAIN)
    return top


def verdict_tail(n):
    return [("ERROR", PROCEDURE_LOGGER, "Validation failed"),
            ("ERROR", PROCEDURE_LOGGER, f"Files failed validation: {n}")]


def pair_lines(path, content_differs=True):
    lines = [f"File {path} isn't authentic.", f"File {path} is out of order."]
    if content_differs:
        lines.append(f"Fingerprints don't match in file {path}!")
    return lines


def check_failure(r, pair_warnings, after_warnings, count):
    """Pair lines in order first, then the unpaired/set lines in any order, then the verdict."""
    assert r.returncode == 1, r.stdout + r.stderr
    r.assert_clean()
    log = r.log
    assert log[0] == ("WARNING", PROCEDURE_LOGGER, NO_CERT_WARNING)
    assert log[1][:2] == ("INFO", VALIDATION_LOGGER) and log[1][2].startswith(FOUND)
    body = log[2:-2]
    assert all(level == "WARNING" and name == VALIDATION_LOGGER for level, name, _ in body), log
    messages = [m for _l, _n, m in body]
    assert messages[:len(pair_warnings)] == pair_warnings, messages
    assert sorted(messages[len(pair_warnings):]) == sorted(after_warnings), messages
    assert log[-2:] == verdict_tail(count)
    assert not any(m.startswith("Elapsed time") for m in r.messages())


# --- success ----------------------------------------------------------------------------------

class TestUnchangedTree:
    def test_search_and_success_lines(self, tmp_path):
        chain(tmp_path)
        sign(tmp_path)
        r = validate(tmp_path)
        assert r.returncode == 0, r.stdout + r.stderr
        assert r.stderr == ""
        log = r.log
        assert log[:3] == [
            ("WARNING", PROCEDURE_LOGGER, NO_CERT_WARNING),
            ("INFO", VALIDATION_LOGGER, f"{FOUND}{tmp_path}/Certificates/{ARCHIVE}"),
            ("INFO", PROCEDURE_LOGGER, "Validation successfull"),
        ]
        assert len(log) == 4 and log[3][:2] == ("INFO", PROCEDURE_LOGGER)
        assert ELAPSED.match(log[3][2]), log[3]

    @pytest.mark.parametrize("relative", [False, True])
    def test_named_certificate_skips_the_search(self, tmp_path, relative):
        top = chain(tmp_path / "tree")
        cert = sign(top)
        kept = tmp_path / "kept.zip"
        shutil.move(cert, kept)  # the search would now find nothing
        arg = "kept.zip" if relative else str(kept)
        r = run_cli("validate_certificate", "-p", "tree", "-c", arg, cwd=tmp_path)
        assert r.returncode == 0, r.stdout + r.stderr
        assert [line[:2] for line in r.log] == [("INFO", PROCEDURE_LOGGER)] * 2
        assert r.messages()[0] == "Validation successfull"
        assert ELAPSED.match(r.messages()[1])

    def test_empty_certificate_option_searches(self, tmp_path):
        chain(tmp_path)
        sign(tmp_path)
        r = run_cli("validate_certificate", "-p", tmp_path, "-c", "")
        assert r.returncode == 0, r.stdout + r.stderr
        assert r.log[0] == ("WARNING", PROCEDURE_LOGGER, NO_CERT_WARNING)

    def test_trailing_separator_on_dir_path(self, tmp_path):
        chain(tmp_path)
        sign(tmp_path)
        r = validate(str(tmp_path) + "/")
        assert r.returncode == 0, r.stdout
        assert r.log[1] == ("INFO", VALIDATION_LOGGER, f"{FOUND}{tmp_path}/Certificates/{ARCHIVE}")

    def test_many_files_and_odd_names(self, tmp_path):
        files = {f"many/{i:04}.bin": os.urandom(i * 37 % 9000) for i in range(400)}
        files.update({"sp ace.txt": "x", "ünï cødé.txt": "y", ".hidden": "z", "Certificates/old/e": "w",
                      "certificates/Certificate.pk": "not left out", "deep/" * 30 + "leaf": "l"})
        make_tree(tmp_path, files)
        os.symlink("sp ace.txt", tmp_path / "link-to-file")
        os.symlink("many", tmp_path / "link-to-dir")
        sign(tmp_path)
        r = validate(tmp_path)
        assert r.returncode == 0, r.stdout[-3000:]
        assert r.messages("WARNING") == [NO_CERT_WARNING]

    def test_signed_twice_then_touched(self, tmp_path):
        chain(tmp_path)
        sign(tmp_path)
        sign(tmp_path)
        os.utime(tmp_path / F2, (0, 0))
        assert validate(tmp_path).returncode == 0


# --- certificates written with the host's pickle and zipfile ----------------------------------

class TestHostWrittenCertificate:
    @pytest.mark.parametrize("protocol", [2, 3, 4, 5])
    @pytest.mark.parametrize("fast", [False, True], ids=["memo", "no-memo"])
    def test_validates(self, tmp_path, protocol, fast):
        chain(tmp_path)
        make_tree(tmp_path, {"x/y.bin": os.urandom(5000)})
        host_certificate(tmp_path, protocol=protocol, fast=fast)
        r = validate(tmp_path)
        assert r.returncode == 0, r.stdout + r.stderr
        assert r.messages("WARNING") == [NO_CERT_WARNING]

    @pytest.mark.parametrize("protocol", [2, 3, 4, 5])
    def test_every_form_the_host_pickler_uses(self, tmp_path, protocol):
        # Over 256 records (two-byte ids, long memo indices), a path over 255 bytes (long text
        # form), a name that is not UTF-8, and shared objects (memo references to a list and
        # to texts) for files with equal contents.
        files = {f"bulk/{i:03}.txt": f"file {i}" for i in range(300)}
        files.update({"twin1": b"same", "twin2": b"same", "empty1": b"", "empty2": b""})
        long_dir = "/".join(["x" * 60] * 5)
        files[f"{long_dir}/leaf.txt"] = "long path"
        files["bad\udcff name.txt"] = "not utf-8"
        make_tree(tmp_path, files)
        table = node_table(tmp_path)
        shared = {}
        for node in table.values():
            fp = node.get_fingerprint()
            key = repr(fp)
            if key in shared:
                node.set_fingerprint(shared[key])  # the very same list object
            else:
                interned = [[sys.intern(row[0])] for row in fp]
                node.set_fingerprint(interned)
                shared[key] = interned
        host_certificate(tmp_path, table=table, protocol=protocol)
        r = validate(tmp_path)
        assert r.returncode == 0, r.stdout[-3000:] + r.stderr

    def test_keys_are_not_compared(self, tmp_path):
        chain(tmp_path)
        table = {f"key {9 - i}": node for i, node in enumerate(node_table(tmp_path).values())}
        host_certificate(tmp_path, table=table)
        assert validate(tmp_path).returncode == 0

    def test_record_state_in_another_order(self, tmp_path):
        from mavelin.core.models import FileNode
        chain(tmp_path)
        table = {}
        for key, node in node_table(tmp_path).items():
            fresh = FileNode.__new__(FileNode)
            fresh.set_fingerprint(node.get_fingerprint())
            fresh.file_path = node.file_path
            fresh.id = node.id
            table[key] = fresh
        host_certificate(tmp_path, table=table)
        assert validate(tmp_path).returncode == 0

    @pytest.mark.parametrize("offset", [2 ** 31, 2 ** 70, -(2 ** 40)])
    def test_large_ids_decode_and_fail_authenticity_only(self, tmp_path, offset):
        chain(tmp_path)
        table = node_table(tmp_path)
        for node in table.values():
            node.id += offset
        host_certificate(tmp_path, table=table, protocol=2)
        check_failure(validate(tmp_path), [f"File {p} isn't authentic." for p in CHAIN], [],
                      len(CHAIN))

    def test_named_host_certificate(self, tmp_path):
        top = chain(tmp_path / "tree")
        cert = host_certificate(top, dest=tmp_path / "elsewhere.korvex", protocol=5)
        r = validate(top, cert)
        assert r.returncode == 0, r.stdout + r.stderr

    def test_ids_differing_only(self, tmp_path):
        chain(tmp_path)
        table = node_table(tmp_path)
        for node in table.values():
            node.id += 100
        host_certificate(tmp_path, table=table)
        r = validate(tmp_path)
        check_failure(r, [f"File {p} isn't authentic." for p in CHAIN], [], len(CHAIN))

    def test_record_without_fingerprint(self, tmp_path):
        chain(tmp_path)
        host_certificate(tmp_path, table=node_table(tmp_path, without_fingerprint={F1}))
        r = validate(tmp_path)
        check_failure(r, [f"File {F1} has no fingerprint in the certificate."], [], 1)

    def test_fingerprints_of_other_parameters(self, tmp_path):
        chain(tmp_path)
        table = node_table(tmp_path)
        table["node_id_2"].set_fingerprint(reference_fingerprint(tmp_path / F1, 4096, 2))
        table["node_id_4"].set_fingerprint(reference_fingerprint(tmp_path / F4, 1024, 4))
        host_certificate(tmp_path, table=table)
        r = validate(tmp_path)
        check_failure(r, [f"Fingerprints don't match in file {F1}!",
                          f"Fingerprints don't match in file {F4}!"], [], 2)

    def test_empty_table(self, tmp_path):
        chain(tmp_path)
        host_certificate(tmp_path, table={})
        r = validate(tmp_path)
        check_failure(r, [], [f"File {p} isn't in the certificate." for p in CHAIN], len(CHAIN))


# --- discrepancies ----------------------------------------------------------------------------

class TestChangedTree:
    @pytest.fixture
    def signed(self, tmp_path):
        chain(tmp_path)
        sign(tmp_path)
        return tmp_path

    def test_changed_content(self, signed):
        write(signed / F2, b"changed")
        check_failure(validate_by_position(signed), [f"Fingerprints don't match in file {F2}!"], [], 1)

    def test_change_with_size_and_times_restored(self, signed):
        # Nothing may be taken from file metadata: same size, same times, other bytes.
        st = os.stat(signed / F4)
        data = bytearray((signed / F4).read_bytes())
        data[-1] ^= 0x20
        write(signed / F4, bytes(data))
        os.utime(signed / F4, ns=(st.st_atime_ns, st.st_mtime_ns))
        check_failure(validate_by_position(signed), [f"Fingerprints don't match in file {F4}!"], [], 1)

    def test_one_byte_flipped_in_a_later_chunk(self, signed):
        data = bytearray((signed / F6).read_bytes())
        data[9000] ^= 1
        write(signed / F6, bytes(data))
        check_failure(validate_by_position(signed), [f"Fingerprints don't match in file {F6}!"], [], 1)

    def test_empty_file_given_content_and_contents_swapped(self, signed):
        write(signed / F5, b"\0")
        write(signed / F1, CHAIN[F2])
        write(signed / F2, CHAIN[F1])
        check_failure(validate_by_position(signed), [f"Fingerprints don't match in file {p}!"
                                         for p in (F1, F2, F5)], [], 3)

    def test_renamed_file(self, signed):
        renamed = "d1/d2/g2.txt"
        os.rename(signed / F2, signed / renamed)
        check_failure(validate_by_position(signed), pair_lines(renamed, content_differs=False),
                      [f"File {F2} is missing.", f"File {renamed} isn't in the certificate."], 1)

    def test_added_in_the_middle(self, signed):
        write(signed / NEW_MIDDLE, b"new")
        assert scan_order(signed) == [F0, F1, F2, NEW_MIDDLE, F4, F5, F6]
        pairs = pair_lines(NEW_MIDDLE) + pair_lines(F4) + pair_lines(F5)
        check_failure(validate_by_position(signed), pairs,
                      [f"File {NEW_MIDDLE} isn't in the certificate.", f"File {F6} is out of order."],
                      4)

    def test_added_at_the_end(self, signed):
        write(signed / NEW_END, b"new")
        check_failure(validate_by_position(signed), [], [f"File {NEW_END} isn't in the certificate."], 1)

    def test_removed_in_the_middle(self, signed):
        os.remove(signed / F2)
        pairs = pair_lines(F4) + pair_lines(F5) + pair_lines(F6)
        check_failure(validate_by_position(signed), pairs,
                      [f"File {F2} is missing.", f"File {F6} is out of order."], 4)

    def test_removed_at_the_end(self, signed):
        os.remove(signed / F6)
        check_failure(validate_by_position(signed), [], [f"File {F6} is missing."], 1)

    def test_removed_at_the_end_and_changed_before(self, signed):
        os.remove(signed / F6)
        write(signed / F0, b"other")
        check_failure(validate_by_position(signed), [f"Fingerprints don't match in file {F0}!"],
                      [f"File {F6} is missing."], 2)

    def test_moved_between_folders(self, signed):
        # f1 moves into the empty middle folder: same content, new place in the order.
        os.rename(signed / F1, signed / NEW_MIDDLE)
        assert scan_order(signed) == [F0, F2, NEW_MIDDLE, F4, F5, F6]
        pairs = pair_lines(F2) + pair_lines(NEW_MIDDLE)
        check_failure(validate_by_position(signed), pairs,
                      [f"File {F1} is missing.", f"File {NEW_MIDDLE} isn't in the certificate."], 2)

    def test_names_with_newlines_and_invalid_utf8_stay_on_one_line(self, tmp_path):
        make_tree(tmp_path, {"new\nline.txt": "a", "bad\udcff.txt": "b", "plain.txt": "c"})
        sign(tmp_path)
        assert validate_by_position(tmp_path).returncode == 0
        write(tmp_path / "new\nline.txt", b"changed")
        write(tmp_path / "bad\udcff.txt", b"changed")
        r = validate_by_position(tmp_path)  # every line must parse as one log record
        assert r.returncode == 1
        r.assert_clean()
        warnings = r.messages("WARNING")[1:]
        assert len(warnings) == 2, warnings
        assert all(w.startswith("Fingerprints don't match in file ") for w in warnings)
        assert any("line.txt" in w and "new" in w for w in warnings)
        assert any(w.startswith("Fingerprints don't match in file bad") for w in warnings)
        assert r.log[-1] == ("ERROR", PROCEDURE_LOGGER, "Files failed validation: 2")

    def test_certificate_paths_cannot_forge_log_lines(self, tmp_path):
        from mavelin.core.models import FileNode
        chain(tmp_path)
        table = node_table(tmp_path)
        forged = FileNode(len(table) + 1, "x\n[2026-01-01 00:00:00,000] [INFO] "
                                          f"[{PROCEDURE_LOGGER}] Validation successfull\x1b[2J\r")
        forged.set_fingerprint(table["node_id_1"].get_fingerprint())
        table[f"node_id_{len(table) + 1}"] = forged
        host_certificate(tmp_path, table=table)
        r = validate_by_position(tmp_path)  # every line must parse as one record
        assert r.returncode == 1
        assert not any(ch in r.stdout for ch in "\x1b\r")
        missing = r.messages("WARNING")[1:]
        assert len(missing) == 1 and missing[0].startswith("File x") and \
            missing[0].endswith(" is missing."), missing
        assert "Validation successfull" not in [m for _l, _n, m in r.log]

    def test_folder_name_with_a_newline(self, tmp_path):
        top = tmp_path / "two\nlines"
        chain(top)
        sign(top)
        r = validate_by_position(top)
        assert r.returncode == 0, r.stdout
        assert len(r.log) == 4

    def test_only_file_removed(self, tmp_path):
        make_tree(tmp_path, {"only.txt": "x"})
        sign(tmp_path)
        os.remove(tmp_path / "only.txt")
        r = validate_by_position(tmp_path)
        assert r.returncode == 1
        r.assert_clean()
        assert r.log[-1] == ("ERROR", VALIDATION_LOGGER, "No files were found.")

    def test_order_oracle_on_a_bushy_tree(self, tmp_path):
        # Siblings in one folder come in listing order; adding one shifts what follows.
        make_tree(tmp_path, {f"dir/{c}.txt": c * (ord(c) * 10) for c in "abcdefgh"})
        sign(tmp_path)
        signed = scan_order(tmp_path)
        write(tmp_path / "dir" / "zz.txt", b"zz")
        fresh = scan_order(tmp_path)
        assert [p for p in fresh if p != "dir/zz.txt"] == signed
        k = fresh.index("dir/zz.txt")
        pairs = []
        for i in range(k, len(signed)):
            pairs += pair_lines(fresh[i])
        after = ["File dir/zz.txt isn't in the certificate."]
        if k < len(signed):
            after.append(f"File {fresh[-1]} is out of order.")
        check_failure(validate_by_position(tmp_path), pairs, after, len(signed) - k + 1)


# --- files that cannot be read ----------------------------------------------------------------


def _drop_dac():
    if os.geteuid() != 0:
        return []
    setpriv = shutil.which("setpriv")
    cmd = [setpriv, "--bounding-set", "-dac_override,-dac_read_search", "--"] if setpriv else None
    if not cmd or subprocess.run(cmd + ["true"]).returncode != 0:
        pytest.skip("cannot drop CAP_DAC_OVERRIDE as root")
    return cmd


class TestUnreadableFiles:
    @pytest.fixture
    def signed(self, tmp_path):
        chain(tmp_path)
        sign(tmp_path)
        return tmp_path

    def test_dangling_symlink_after_signing(self, signed):
        os.remove(signed / F2)
        os.symlink("nowhere", signed / F2)
        write(signed / F4, b"changed too")
        check_failure(validate(signed),
                      [f"Link {F2} is not certified: its target is missing or outside the folder.",
                       f"Fingerprints don't match in file {F4}!"], [f"File {F2} is missing."], 2)

    def test_socket_in_place_of_a_file_reads_as_empty(self, signed):
        os.remove(signed / F1)
        unix_socket(signed / F1)
        check_failure(validate(signed), [f"Fingerprints don't match in file {F1}!"], [], 1)

    def test_permission_denied(self, signed):
        prefix = _drop_dac()
        os.chmod(signed / F4, 0)
        r = subprocess.run(prefix + [sys.executable, "-m", "mavelin.cli", "validate_certificate",
                                     "-p", str(signed)], capture_output=True, text=True, timeout=120)
        check_failure(Run(r.returncode, r.stdout, r.stderr),
                      [f"File {F4} can't be read: {os.strerror(errno.EACCES)}"], [], 1)

    def test_fifo_without_writer_is_an_empty_file(self, tmp_path):
        chain(tmp_path)
        os.mkfifo(tmp_path / "d1" / "d2" / "d3" / "pipe")
        sign(tmp_path)
        r = validate(tmp_path, timeout=60)
        assert r.returncode == 0, r.stdout + r.stderr

    def test_links_to_devices_are_read_as_empty(self, tmp_path):
        chain(tmp_path)
        os.symlink("/dev/zero", tmp_path / "zero")
        os.symlink("/dev/urandom", tmp_path / "d1" / "random")
        sign(tmp_path)
        r = validate(tmp_path, timeout=60)
        assert r.returncode == 0, r.stdout + r.stderr

    def test_symlink_loop_after_signing(self, signed):
        os.remove(signed / F4)
        os.symlink("f4.txt", signed / F4)
        check_failure(validate(signed),
                      [f"File {F4} can't be read: {os.strerror(errno.ELOOP)}"], [], 1)

    def test_fifo_replacing_a_file(self, signed):
        os.remove(signed / F6)
        os.mkfifo(signed / F6)
        check_failure(validate(signed, timeout=60), [f"Fingerprints don't match in file {F6}!"],
                      [], 1)

    def test_fifo_with_a_writer(self, signed):
        os.remove(signed / F5)  # signed empty
        os.mkfifo(signed / F5)
        writer = subprocess.Popen(["sh", "-c", f"exec 3<>'{signed / F5}'; echo data >&3; sleep 30"])
        try:
            r = validate(signed, timeout=60)
        finally:
            writer.kill()
            writer.wait()
        assert r.returncode == 0, r.stdout + r.stderr


# --- the command and the library procedure ----------------------------------------------------

class TestCommandLine:
    def test_dir_path_omitted_is_a_usage_error(self, tmp_path):
        chain(tmp_path)
        sign(tmp_path)
        r = run_cli("validate_certificate", cwd=tmp_path)
        assert r.returncode == 2
        assert r.stdout == ""
        assert "Traceback" not in r.stderr

    def test_dir_path_omitted_with_certificate(self, tmp_path):
        chain(tmp_path)
        cert = sign(tmp_path)
        r = run_cli("validate_certificate", "-c", cert, cwd=tmp_path)
        assert r.returncode == 2 and r.stdout == ""

    @pytest.mark.parametrize("kind", ["file", "missing"])
    def test_dir_path_not_a_folder(self, tmp_path, kind):
        target = tmp_path / "target"
        if kind == "file":
            write(target, b"x")
        r = run_cli("validate_certificate", "-p", target)
        assert r.returncode == 2 and r.stdout == ""

    def test_certificate_naming_a_directory(self, tmp_path):
        chain(tmp_path)
        sign(tmp_path)
        r = run_cli("validate_certificate", "-p", tmp_path, "-c", tmp_path / "Certificates")
        assert r.returncode == 2 and r.stdout == ""

    def test_help_text(self):
        r = run_cli("validate_certificate", "--help")
        assert r.returncode == 0
        text = " ".join(r.stdout.split())
        for piece in ["Command to validate folder according to certificate.",
                      "-p, --dir-path", "Path to the folder to validate.",
                      "-c, --certificate-file", "Path to the certificate file to validate."]:
            assert piece in text, r.stdout

    def test_failure_then_success_after_repair(self, tmp_path):
        chain(tmp_path)
        sign(tmp_path)
        write(tmp_path / F1, b"bad")
        assert validate(tmp_path).returncode == 1
        write(tmp_path / F1, CHAIN[F1])
        assert validate(tmp_path).returncode == 0

    def test_quiet_prints_nothing_on_success_and_only_findings_and_verdict_on_failure(
            self, tmp_path):
        # The search and the folder left out are warnings of a passing run: not printed either.
        make_tree(chain(tmp_path), {"d1/Certificates/left-out": b"x"})
        sign(tmp_path)
        r = validate(tmp_path, None, 120, "--quiet")
        assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
        write(tmp_path / F1, b"bad")
        os.remove(tmp_path / F6)
        r = validate(tmp_path, None, 120, "-q")
        assert (r.returncode, r.stderr) == (1, "")
        assert r.log == [("WARNING", VALIDATION_LOGGER, f"Fingerprints don't match in file {F1}!"),
                         ("WARNING", VALIDATION_LOGGER, f"File {F6} is missing."),
                         *verdict_tail(2)]
        shutil.rmtree(tmp_path / "Certificates")
        r = validate(tmp_path, None, 120, "-q")
        assert (r.returncode, r.stderr) == (1, "")
        assert r.log == [("ERROR", PROCEDURE_LOGGER, "Certificate wasn't found.")]


class TestLibraryProcedure:
    @pytest.mark.parametrize("certificate", [None, ""])
    def test_empty_certificate_searches(self, tmp_path, certificate):
        from mavelin.utils import validate_certificate
        chain(tmp_path)
        sign(tmp_path)
        with capture_logs() as cap:
            assert validate_certificate(str(tmp_path), certificate) is None
        assert cap.records[0] == ("WARNING", PROCEDURE_LOGGER, NO_CERT_WARNING)
        assert cap.records[1] == ("INFO", VALIDATION_LOGGER,
                                  f"{FOUND}{tmp_path}/Certificates/{ARCHIVE}")
        assert cap.messages()[2] == "Validation successfull"
        assert ELAPSED.match(cap.messages()[3])

    def test_path_objects(self, tmp_path):
        from mavelin.utils import validate_certificate
        chain(tmp_path)
        cert = sign(tmp_path)
        with capture_logs() as cap:
            validate_certificate(tmp_path, Path(cert))
        assert cap.messages()[0] == "Validation successfull"

    def test_failure_raises_exit_request(self, tmp_path):
        from mavelin.utils import validate_certificate
        chain(tmp_path)
        sign(tmp_path)
        write(tmp_path / F0, b"changed")
        with capture_logs() as cap, pytest.raises(SystemExit) as exc:
            validate_certificate(str(tmp_path), None)
        assert exc.value.code == 1
        assert cap.records[-2:] == verdict_tail(1)

    def test_not_found_raises_exit_request(self, tmp_path):
        from mavelin.utils import validate_certificate
        chain(tmp_path)
        with capture_logs() as cap, pytest.raises(SystemExit) as exc:
            validate_certificate(str(tmp_path), "")
        assert exc.value.code == 1
        assert cap.records[-1] == ("ERROR", PROCEDURE_LOGGER, "Certificate wasn't found.")

    def test_certificates_regular_file_reaches_library_caller(self, tmp_path):
        from mavelin.utils import validate_certificate
        make_tree(tmp_path, {"a.txt": "x", "Certificates": "file"})
        with capture_logs() as cap, pytest.raises(NotADirectoryError):
            validate_certificate(str(tmp_path), None)
        assert cap.records == [("WARNING", PROCEDURE_LOGGER, NO_CERT_WARNING)]

    def test_concurrent_calls_from_threads(self, tmp_path):
        import threading
        from mavelin.utils import validate_certificate
        good, bad = chain(tmp_path / "good"), chain(tmp_path / "bad")
        sign(good)
        sign(bad)
        write(bad / F4, b"changed")
        outcomes = {}

        def run(name, top):
            try:
                validate_certificate(str(top), None)
                outcomes[name] = "ok"
            except SystemExit as e:
                outcomes[name] = e.code

        threads = [threading.Thread(target=run, args=(f"{kind}{i}", top))
                   for i in range(3) for kind, top in (("good", good), ("bad", bad))]
        with capture_logs():
            for t in threads:
                t.start()
            for t in threads:
                t.join(120)
        assert outcomes == {**{f"good{i}": "ok" for i in range(3)}, **{f"bad{i}": 1 for i in range(3)}}

    def test_both_arguments_required(self, tmp_path):
        from mavelin.utils import validate_certificate
        with pytest.raises(TypeError):
            validate_certificate(str(tmp_path))
