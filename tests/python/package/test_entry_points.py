# How people start mavelin: the console script, python -m mavelin, --version and the commands' help.
import importlib.metadata
import os
import sys
import sysconfig

import pytest

from support import run_process, run_python

VERSION = importlib.metadata.version("mavelin")


def console_script():
    path = os.path.join(sysconfig.get_path("scripts"), "mavelin")
    assert os.access(path, os.X_OK), f"no console script at {path}"
    return path


ENTRIES = {
    "console script": lambda: [console_script()],
    "python -m mavelin": lambda: [sys.executable, "-m", "mavelin"],
    "python -m mavelin.cli": lambda: [sys.executable, "-m", "mavelin.cli"],
}
PROGRAM = {"console script": "mavelin", "python -m mavelin": "python -m mavelin",
           "python -m mavelin.cli": "python -m mavelin.cli"}


@pytest.mark.parametrize("entry", ENTRIES)
def test_every_entry_runs_the_same_group_and_tells_the_version(entry):
    argv = ENTRIES[entry]()
    r = run_process([*argv, "--version"])
    assert (r.returncode, r.stdout, r.stderr) == (0, f"mavelin {VERSION}\n", "")
    r = run_process([*argv, "--help"])
    assert r.returncode == 0 and r.stderr == ""
    assert r.stdout.startswith(f"Usage: {PROGRAM[entry]} [OPTIONS] COMMAND [ARGS]...")
    commands = [line.split()[0] for line in r.stdout.split("Commands:")[1].splitlines() if line]
    assert commands == ["show", "sign_folder", "validate_certificate"]
    assert "--version" in r.stdout


@pytest.mark.parametrize("sign_with, validate_with", [("console script", "python -m mavelin"),
                                                      ("python -m mavelin", "console script")])
def test_sign_and_validate_through_either_entry(tmp_path, sign_with, validate_with):
    (tmp_path / "a.txt").write_text("a")
    signed = run_process([*ENTRIES[sign_with](), "sign_folder", "-p", tmp_path])
    assert signed.returncode == 0, signed.stdout + signed.stderr
    assert signed.records[-1].message == "Certificate generated successfully!"
    checked = run_process([*ENTRIES[validate_with](), "validate_certificate", "-p", tmp_path])
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert [r.message for r in checked.records][-2] == "Validation successfull"
    assert signed.stderr == checked.stderr == ""


def test_package_version_attribute_and_quiet_entry_module():
    r = run_python("""
import importlib, json, logging, sys
import mavelin
entry = importlib.import_module("mavelin.__main__")
try:
    mavelin.no_such_name
    missing = None
except AttributeError as e:
    missing = str(e)
print(json.dumps([mavelin.__version__, "__version__" in vars(mavelin), missing,
                  len(logging.getLogger().handlers), entry.cli is mavelin.cli.cli]))
""", "sign_folder")
    assert r.returncode == 0 and r.stderr == ""
    assert r.stdout.strip() == (
        f'["{VERSION}", true, "module \'mavelin\' has no attribute \'no_such_name\'", 0, true]')


@pytest.mark.parametrize("command, statuses", [
    ("sign_folder", ["0 when the certificate was written", "1 when no file was found",
                     "2 when the arguments are refused"]),
    ("validate_certificate", ["0 when every file matches the certificate",
                              "1 when files failed validation", "2 when the arguments are refused"]),
])
def test_command_help_names_exit_statuses_and_shows_examples(command, statuses):
    r = run_process([console_script(), command, "--help"])
    assert r.returncode == 0 and r.stderr == ""
    text = " ".join(r.stdout.split())
    for piece in ["Examples:", f"mavelin {command} -p photos", "Exit status:", *statuses,
                  "130 when interrupted (Ctrl-C)"]:
        assert piece in text, r.stdout
    # The example lines keep their own lines.
    assert f"\n    mavelin {command} -p photos\n" in r.stdout
