# Locating the certificate: the light search, the deep search and where each finds the archive.
import os
from pathlib import Path

import pytest

from validation_helpers import (DEEPER, FOUND, NO_CERT_WARNING, NOT_FOUND, PROCEDURE_LOGGER,
                                VALIDATION_LOGGER, capture_logs, host_certificate, make_tree, run_cli,
                                sign, validate, walk_order_dirs, write)

ARCHIVE = "Certificate.korvex"


def validator(top, certificate=None, **options):
    from mavelin.core.validation import CertificateValidator
    return CertificateValidator(certificate, top, **(options or {"chunk_size": 2048,
                                                                  "transformation_step": 4}))


def light(top, certificate=None):
    v = validator(top, certificate)
    with capture_logs() as cap:
        found = v.light_certificate_search()
    return found, v._certificate_path, cap.records


def deep(top, certificate=None):
    v = validator(top, certificate)
    with capture_logs() as cap:
        found = v.deep_certificate_search()
    return found, v._certificate_path, cap.records


def found_line(path):
    return ("INFO", VALIDATION_LOGGER, FOUND + path)


# --- construction -----------------------------------------------------------------------------

class TestConstruction:
    @pytest.mark.parametrize("options", [{}, {"chunk_size": 2048, "transformation_step": 4},
                                         {"anything": object()}])
    def test_stores_arguments_and_touches_nothing(self, tmp_path, options):
        from mavelin.core.validation import CertificateValidator
        missing = tmp_path / "nowhere"
        with capture_logs() as cap:
            v = CertificateValidator("cert.zip", missing, **options)
        assert v._certificate_path == "cert.zip"
        assert v._result_path is missing
        assert v.invalid_counter == 0
        assert cap.records == []
        assert os.listdir(tmp_path) == []

    def test_both_arguments_are_required(self):
        from mavelin.core.validation import CertificateValidator
        with pytest.raises(TypeError):
            CertificateValidator("cert.zip")


# --- light search -----------------------------------------------------------------------------

class TestLightSearch:
    def test_archive_directly_in_folder_wins_and_the_other_is_named(self, tmp_path):
        write(tmp_path / ARCHIVE, b"top")
        write(tmp_path / "Certificates" / ARCHIVE, b"inner")
        found, path, log = light(str(tmp_path))
        assert found is True
        assert path == f"{tmp_path}/{ARCHIVE}"
        assert log == [found_line(path),
                       ("WARNING", VALIDATION_LOGGER,
                        f"Certificate file {path} is used; another one exists at "
                        f"{tmp_path}/Certificates/{ARCHIVE}.")]

    def test_direct_archive_beside_a_file_named_certificates(self, tmp_path):
        # "Certificates" would fail to list; the direct hit must come first.
        write(tmp_path / ARCHIVE)
        write(tmp_path / "Certificates", b"a regular file")
        found, path, log = light(str(tmp_path))
        assert found and path == f"{tmp_path}/{ARCHIVE}"

    @pytest.mark.parametrize("suffix", ["", "/", "//"])
    def test_archive_in_certificates_folder(self, tmp_path, suffix):
        write(tmp_path / "Certificates" / ARCHIVE)
        top = str(tmp_path) + suffix
        found, path, log = light(top)
        assert found is True
        expected = f"{top}Certificates/{ARCHIVE}" if suffix else f"{top}/Certificates/{ARCHIVE}"
        assert path == expected
        if suffix == "/":
            assert "//" not in path
        assert log == [found_line(expected)]

    def test_path_object_gives_text_path(self, tmp_path):
        write(tmp_path / "Certificates" / ARCHIVE)
        found, path, log = light(tmp_path)
        assert found and path == f"{tmp_path}/Certificates/{ARCHIVE}"
        assert isinstance(path, str)
        assert log == [found_line(path)]

    def test_folder_named_like_the_archive_is_accepted(self, tmp_path):
        (tmp_path / ARCHIVE).mkdir()
        found, path, log = light(str(tmp_path))
        assert found and path == f"{tmp_path}/{ARCHIVE}"
        assert log == [found_line(path)]

    def test_symlinked_certificates_folder_is_listed(self, tmp_path):
        target = tmp_path / "elsewhere"
        write(target / ARCHIVE)
        top = tmp_path / "top"
        top.mkdir()
        (top / "Certificates").symlink_to(target, target_is_directory=True)
        found, path, _ = light(str(top))
        assert found and path == f"{top}/Certificates/{ARCHIVE}"

    @pytest.mark.parametrize("name", ["certificate.korvex", "CERTIFICATE.KORVEX",
                                      "Certificate.Korvex", "Certificate.korvex.bak",
                                      "Certificate.korvex ", "Certificates/certificate.korvex",
                                      "sub/CERTIFICATE.korvex"])
    def test_archive_name_in_other_letter_case_matches_in_neither_search(self, tmp_path, name):
        write(tmp_path / name)
        found, path, log = light(str(tmp_path), certificate="kept")
        assert found is False and path == "kept"
        assert log == [("WARNING", VALIDATION_LOGGER, NOT_FOUND)]
        found, path, log = deep(str(tmp_path), certificate="kept")
        assert found is False and path == "kept"
        assert log == [("INFO", VALIDATION_LOGGER, DEEPER)]

    @pytest.mark.parametrize("folder", ["certificates", "CERTIFICATES", "Certificates_old"])
    def test_certificate_folder_in_other_letter_case_is_not_light_searched(self, tmp_path, folder):
        write(tmp_path / folder / ARCHIVE)
        found, path, log = light(str(tmp_path), certificate="kept")
        assert found is False and path == "kept"
        assert log == [("WARNING", VALIDATION_LOGGER, NOT_FOUND)]
        # Any folder is walked by the deep search, whatever its name.
        found, path, _ = deep(str(tmp_path))
        assert found and path == f"{tmp_path}/{folder}/{ARCHIVE}"

    def test_certificates_folder_without_archive(self, tmp_path):
        write(tmp_path / "Certificates" / "other.txt")
        (tmp_path / "Certificates" / "sub").mkdir()
        write(tmp_path / "Certificates" / "sub" / ARCHIVE)
        found, path, log = light(str(tmp_path), certificate=None)
        assert found is False and path is None
        assert log == [("WARNING", VALIDATION_LOGGER, NOT_FOUND)]

    def test_nothing_at_all(self, tmp_path):
        write(tmp_path / "a.txt")
        found, path, log = light(str(tmp_path), certificate="")
        assert found is False and path == ""
        assert log == [("WARNING", VALIDATION_LOGGER, NOT_FOUND)]

    def test_certificates_as_regular_file_raises_listing_error(self, tmp_path):
        write(tmp_path / "Certificates", b"not a folder")
        v = validator(str(tmp_path), "kept")
        with capture_logs() as cap, pytest.raises(NotADirectoryError):
            v.light_certificate_search()
        assert cap.records == []
        assert v._certificate_path == "kept"

    @pytest.mark.parametrize("kind", ["missing", "file"])
    def test_unlistable_folder_raises(self, tmp_path, kind):
        top = tmp_path / "x"
        if kind == "file":
            write(top, b"file")
        v = validator(str(top))
        with capture_logs() as cap, pytest.raises(OSError):
            v.light_certificate_search()
        assert cap.records == []

    def test_search_starts_afresh_each_time(self, tmp_path):
        write(tmp_path / "Certificates" / ARCHIVE)
        v = validator(str(tmp_path))
        with capture_logs():
            assert v.light_certificate_search()
            os.remove(tmp_path / "Certificates" / ARCHIVE)
            write(tmp_path / ARCHIVE)
            assert v.light_certificate_search()
        assert v._certificate_path == f"{tmp_path}/{ARCHIVE}"


# --- deep search ------------------------------------------------------------------------------

class TestDeepSearch:
    def test_archive_deeper_in_tree(self, tmp_path):
        write(tmp_path / "a" / "b" / "c" / ARCHIVE)
        write(tmp_path / "a" / "file.txt")
        found, path, log = deep(str(tmp_path))
        assert found and path == f"{tmp_path}/a/b/c/{ARCHIVE}"
        assert log == [("INFO", VALIDATION_LOGGER, DEEPER), found_line(path)]

    def test_trailing_separator_gives_no_doubled_separator(self, tmp_path):
        write(tmp_path / "a" / ARCHIVE)
        found, path, _ = deep(str(tmp_path) + "/")
        assert found and path == f"{tmp_path}/a/{ARCHIVE}"

    def test_nothing_found_logs_exactly_one_line(self, tmp_path):
        write(tmp_path / "a" / "b.txt")
        (tmp_path / "a" / ARCHIVE).mkdir()  # a folder never counts
        found, path, log = deep(str(tmp_path), certificate="kept")
        assert found is False and path == "kept"
        assert log == [("INFO", VALIDATION_LOGGER, DEEPER)]

    @pytest.mark.parametrize("where", ["top", "nested"])
    def test_folder_named_like_archive_is_never_accepted(self, tmp_path, where):
        folder = tmp_path / ARCHIVE if where == "top" else tmp_path / "x" / ARCHIVE
        folder.mkdir(parents=True)
        write(folder / ARCHIVE.lower())
        found, _, log = deep(str(tmp_path))
        assert found is False and log == [("INFO", VALIDATION_LOGGER, DEEPER)]

    def test_start_folder_wins_over_subfolders(self, tmp_path):
        for sub in ["a", "b", "Certificates", "z/y"]:
            write(tmp_path / sub / ARCHIVE)
        write(tmp_path / ARCHIVE)
        found, path, _ = deep(str(tmp_path))
        assert found and path == f"{tmp_path}/{ARCHIVE}"

    @pytest.mark.parametrize("count", [2, 5, 12])
    def test_first_subfolder_in_listing_order_wins(self, tmp_path, count):
        names = [f"d{i:02}" for i in range(count)]
        for name in reversed(names):
            write(tmp_path / name / ARCHIVE)
        first = walk_order_dirs(tmp_path)[1]
        found, path, _ = deep(str(tmp_path))
        assert found and path == f"{first}/{ARCHIVE}"

    def test_depth_first_not_breadth_first(self, tmp_path):
        # The first-listed sibling holds the archive only one level lower; its whole subtree
        # is walked before the next sibling, which holds it directly.
        for name in ["p", "q"]:
            (tmp_path / name).mkdir()
        first, second = [Path(d).name for d in walk_order_dirs(tmp_path)[1:3]]
        write(tmp_path / first / "inner" / ARCHIVE)
        write(tmp_path / second / ARCHIVE)
        expected = next(os.path.join(root, ARCHIVE) for root, _d, files in os.walk(tmp_path)
                        if ARCHIVE in files)
        assert expected == f"{tmp_path}/{first}/inner/{ARCHIVE}"
        found, path, _ = deep(str(tmp_path))
        assert found and path == expected

    def test_archive_behind_a_folder_symlink_is_not_found(self, tmp_path):
        outside = tmp_path / "outside"
        write(outside / ARCHIVE)
        top = tmp_path / "top"
        write(top / "a.txt")
        (top / "link").symlink_to(outside, target_is_directory=True)
        found, _, log = deep(str(top))
        assert found is False and log == [("INFO", VALIDATION_LOGGER, DEEPER)]

    def test_symlink_to_an_archive_file_counts(self, tmp_path):
        outside = write(tmp_path / "outside" / "real.zip")
        top = tmp_path / "top"
        (top / "sub").mkdir(parents=True)
        (top / "sub" / ARCHIVE).symlink_to(outside)
        found, path, _ = deep(str(top))
        assert found and path == f"{top}/sub/{ARCHIVE}"

    def test_missing_start_folder_is_an_empty_walk(self, tmp_path):
        found, path, log = deep(str(tmp_path / "missing"), certificate=None)
        assert found is False and path is None
        assert log == [("INFO", VALIDATION_LOGGER, DEEPER)]

    def test_oracle_order_on_a_wider_tree(self, tmp_path):
        # Archives in many places below the start folder; the first one os.walk meets wins.
        for rel in ["m/n/o", "m/k", "c", "c/d", "x/y/z", "x/Certificates", "b/e/f/g"]:
            write(tmp_path / rel / ARCHIVE)
            write(tmp_path / rel / "filler.txt")
        expected = next(os.path.join(root, ARCHIVE) for root, _d, files in os.walk(tmp_path)
                        if ARCHIVE in files)
        found, path, _ = deep(str(tmp_path))
        assert found and path == expected


# --- searches inside the validation procedure -------------------------------------------------

def signed_tree(top):
    make_tree(top, {"a.txt": "alpha", "sub/b.txt": "beta" * 1000})
    return sign(top)


class TestSearchInProcedure:
    def test_light_hit_skips_deep_search(self, tmp_path):
        signed_tree(tmp_path)
        r = validate(tmp_path)
        assert r.returncode == 0, r.stdout
        assert DEEPER not in r.messages()
        assert NOT_FOUND not in r.messages()

    def test_archive_moved_into_a_deeper_certificates_folder(self, tmp_path):
        # Files directly in any folder named "Certificates" are no nodes: the tree still
        # matches, and only the deep search can find the archive.
        cert = signed_tree(tmp_path)
        (tmp_path / "sub" / "Certificates").mkdir()
        os.rename(cert, tmp_path / "sub" / "Certificates" / ARCHIVE)
        os.rmdir(tmp_path / "Certificates")
        r = validate(tmp_path)
        assert r.returncode == 0, r.stdout
        assert r.log[:4] == [
            ("WARNING", PROCEDURE_LOGGER, NO_CERT_WARNING),
            ("WARNING", VALIDATION_LOGGER, NOT_FOUND),
            ("INFO", VALIDATION_LOGGER, DEEPER),
            ("INFO", VALIDATION_LOGGER, f"{FOUND}{tmp_path}/sub/Certificates/{ARCHIVE}"),
        ]

    def test_archive_moved_to_top_is_found_and_is_no_file_of_the_tree(self, tmp_path):
        cert = signed_tree(tmp_path)
        os.rename(cert, tmp_path / ARCHIVE)
        r = validate(tmp_path)
        assert r.returncode == 0, r.stdout
        assert ("INFO", VALIDATION_LOGGER, f"{FOUND}{tmp_path}/{ARCHIVE}") in r.log

    def test_no_certificate_anywhere(self, tmp_path):
        make_tree(tmp_path, {"a.txt": "x"})
        r = validate(tmp_path)
        assert r.returncode == 1
        assert r.log == [
            ("WARNING", PROCEDURE_LOGGER, NO_CERT_WARNING),
            ("WARNING", VALIDATION_LOGGER, NOT_FOUND),
            ("INFO", VALIDATION_LOGGER, DEEPER),
            ("ERROR", PROCEDURE_LOGGER, "Certificate wasn't found."),
        ]
        r.assert_clean()

    def test_certificates_regular_file_on_command_line(self, tmp_path):
        make_tree(tmp_path, {"a.txt": "x", "Certificates": "not a folder"})
        r = validate(tmp_path)
        assert r.returncode == 1
        r.assert_clean()
        assert r.log[0] == ("WARNING", PROCEDURE_LOGGER, NO_CERT_WARNING)
        errors = [line for line in r.log if line[0] == "ERROR"]
        assert len(errors) == 1 and len(r.log) == 2, r.stdout
        assert r.stderr.strip() == ""

    def test_folder_named_like_archive_reaches_loading(self, tmp_path):
        # The light search takes the folder; reading it as an archive then fails cleanly.
        make_tree(tmp_path, {"a.txt": "x"})
        (tmp_path / ARCHIVE).mkdir()
        r = validate(tmp_path)
        assert r.returncode == 1
        r.assert_clean()
        assert ("INFO", VALIDATION_LOGGER, f"{FOUND}{tmp_path}/{ARCHIVE}") in r.log
        assert [line[0] for line in r.log].count("ERROR") == 1

    def test_light_search_through_certificates_symlink(self, tmp_path):
        top = tmp_path / "top"
        make_tree(top, {"a.txt": "x", "b/c.txt": "y"})
        host_certificate(top, dest=tmp_path / "store" / ARCHIVE)
        (top / "Certificates").symlink_to(tmp_path / "store", target_is_directory=True)
        r = validate(top)
        assert r.returncode == 0, r.stdout
        assert ("INFO", VALIDATION_LOGGER, f"{FOUND}{top}/Certificates/{ARCHIVE}") in r.log

    def test_relative_dir_path_as_typed(self, tmp_path):
        signed_tree(tmp_path / "tree")
        r = run_cli("validate_certificate", "-p", "tree/", cwd=tmp_path)
        assert r.returncode == 0, r.stdout
        assert ("INFO", VALIDATION_LOGGER, f"{FOUND}tree/Certificates/{ARCHIVE}") in r.log


# --- permissions, special files and depth -----------------------------------------------------

def _without_dac_override():
    """Command prefix under which file permissions apply even to root."""
    if os.geteuid() != 0:
        return []
    import shutil
    import subprocess
    setpriv = shutil.which("setpriv")
    prefix = [setpriv, "--bounding-set", "-dac_override,-dac_read_search", "--"] if setpriv else None
    if not prefix or subprocess.run(prefix + ["true"]).returncode != 0:
        pytest.skip("cannot drop CAP_DAC_OVERRIDE as root")
    return prefix


_DEEP_SEARCH = (
    "import sys\n"
    "from mavelin.core.validation import CertificateValidator\n"
    "v = CertificateValidator(None, sys.argv[1])\n"
    "print(v.deep_certificate_search(), v._certificate_path)\n"
)


class TestPermissionsAndSpecialFiles:
    def test_unreadable_folders_are_skipped_by_the_deep_search(self, tmp_path):
        import subprocess
        import sys
        prefix = _without_dac_override()
        for name in ["a", "b", "c"]:
            write(tmp_path / name / ARCHIVE)
        order = [Path(d).name for d in walk_order_dirs(tmp_path)[1:]]
        os.chmod(tmp_path / order[0], 0)
        try:
            r = subprocess.run(prefix + [sys.executable, "-c", _DEEP_SEARCH, str(tmp_path)],
                               capture_output=True, text=True, timeout=60)
        finally:
            os.chmod(tmp_path / order[0], 0o755)
        assert r.returncode == 0, r.stderr
        assert r.stdout.split() == ["True", f"{tmp_path}/{order[1]}/{ARCHIVE}"]

    def test_unreadable_certificates_folder_on_the_command_line(self, tmp_path):
        import subprocess
        import sys
        prefix = _without_dac_override()
        make_tree(tmp_path, {"a.txt": "x", f"Certificates/{ARCHIVE}": "y"})
        os.chmod(tmp_path / "Certificates", 0)
        try:
            r = subprocess.run(prefix + [sys.executable, "-m", "mavelin.cli", "validate_certificate",
                                         "-p", str(tmp_path)], capture_output=True, text=True,
                               timeout=60)
        finally:
            os.chmod(tmp_path / "Certificates", 0o755)
        assert r.returncode == 1, r.stdout + r.stderr
        assert "Traceback" not in r.stdout + r.stderr
        from validation_helpers import parse_log
        log = parse_log(r.stdout)
        assert log[0] == ("WARNING", PROCEDURE_LOGGER, NO_CERT_WARNING)
        assert len(log) == 2 and log[1][0] == "ERROR", log

    def test_unreadable_dir_path_is_a_usage_error(self, tmp_path):
        import subprocess
        import sys
        prefix = _without_dac_override()
        top = tmp_path / "top"
        write(top / "a.txt")
        os.chmod(top, 0)
        try:
            r = subprocess.run(prefix + [sys.executable, "-m", "mavelin.cli", "validate_certificate",
                                         "-p", str(top)], capture_output=True, text=True, timeout=60)
        finally:
            os.chmod(top, 0o755)
        assert r.returncode == 2 and r.stdout == ""

    @pytest.mark.parametrize("kind", ["fifo", "dangling symlink", "device"])
    def test_found_certificate_that_is_no_archive(self, tmp_path, kind):
        make_tree(tmp_path, {"a.txt": "x"})
        cert = tmp_path / "Certificates" / ARCHIVE
        cert.parent.mkdir()
        if kind == "fifo":
            os.mkfifo(cert)
        elif kind == "dangling symlink":
            cert.symlink_to(tmp_path / "nowhere")
        else:
            cert.symlink_to("/dev/zero")
        r = validate(tmp_path, timeout=30)
        assert r.returncode == 1
        r.assert_clean()
        assert [line[0] for line in r.log] == ["WARNING", "INFO", "ERROR"], r.stdout

    @pytest.mark.parametrize("target", ["fifo", "/dev/zero", "/dev/null"])
    def test_named_certificate_that_is_no_archive(self, tmp_path, target):
        make_tree(tmp_path, {"a.txt": "x"})
        if target == "fifo":
            target = tmp_path / "pipe"
            os.mkfifo(target)
        r = validate(tmp_path, target, timeout=30)
        assert r.returncode == 1
        r.assert_clean()
        assert [line[0] for line in r.log] == ["ERROR"], r.stdout

    def test_deep_search_in_a_very_deep_tree(self, tmp_path):
        depth = 1500
        levels = []
        bottom = str(tmp_path)
        try:
            for _ in range(depth):
                bottom += "/d"
                os.mkdir(bottom)
                levels.append(bottom)
            write(f"{bottom}/{ARCHIVE}")
            found, path, _ = deep(str(tmp_path))
            assert found and path == f"{bottom}/{ARCHIVE}"
        finally:  # removed here: recursive clean-up cannot go this deep
            if os.path.exists(f"{bottom}/{ARCHIVE}"):
                os.remove(f"{bottom}/{ARCHIVE}")
            for level in reversed(levels):
                os.rmdir(level)
