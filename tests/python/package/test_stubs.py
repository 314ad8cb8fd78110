# The stub-only distribution: it builds, covers every module, and agrees with the built module.
import importlib.util
import os
import shutil
import sys
import zipfile

import pytest

from support import TESTS_DIR, run_process

STUBS = os.path.join(TESTS_DIR, "..", "..", "stubs", "mavelin-stubs")
MODULES = [
    "mavelin", "mavelin.__main__", "mavelin.cli", "mavelin.cli.__main__", "mavelin.cli.commands",
    "mavelin.cli.commands.sign_folder_command",
    "mavelin.cli.commands.validate_certificate_command",
    "mavelin.cli.commands.generate_certificate_report", "mavelin.core", "mavelin.core.models",
    "mavelin.core.hashing", "mavelin.core.node_handling", "mavelin.core.file_managing",
    "mavelin.core.validation", "mavelin.utils", "mavelin.utils.logger", "mavelin.utils.sign_folder",
    "mavelin.utils.validate_certificate", "mavelin.errors", "mavelin.results", "mavelin.api",
]
PACKAGES = {"mavelin", "mavelin.cli", "mavelin.cli.commands", "mavelin.core", "mavelin.utils"}


def stub_file(module):
    parts = ["mavelin-stubs", *module.split(".")[1:]]
    return "/".join(parts + ["__init__.pyi"]) if module in PACKAGES else "/".join(parts) + ".pyi"


def test_the_stub_wheel_holds_one_stub_per_module(tmp_path):
    if importlib.util.find_spec("scikit_build_core") is None:
        pytest.skip("scikit-build-core is not installed (needed to build the stub wheel)")
    r = run_process([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps",
                     "--no-build-isolation", "-w", tmp_path, os.path.abspath(STUBS)],
                    env={"PIP_DISABLE_PIP_VERSION_CHECK": "1"})
    assert r.returncode == 0, r.stdout + r.stderr
    wheel, = tmp_path.glob("mavelin_stubs-*.whl")
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        metadata = zf.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
    assert sorted(n for n in names if not n.startswith("mavelin_stubs-")) == \
        sorted(stub_file(m) for m in MODULES)
    assert "Typing :: Stubs Only" in metadata and "License-Expression: MIT" in metadata


def test_stubtest_finds_the_stubs_and_the_module_in_agreement(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed (pip install mypy)")
    shutil.copytree(os.path.join(STUBS, "mavelin-stubs"), tmp_path / "stubs" / "mavelin")
    allowlist = os.path.abspath(os.path.join(STUBS, "stubtest-allowlist.txt"))
    r = run_process([sys.executable, "-m", "mypy.stubtest", "mavelin", "--allowlist", allowlist],
                    cwd=tmp_path,
                    env={"MYPYPATH": str(tmp_path / "stubs")}, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "Success: no issues found in" in r.stdout
    # A caller's mistake is caught through the stubs.
    (tmp_path / "use.py").write_text(
        "from mavelin.utils import sign_folder\nsign_folder('d', jobs='all')\n"
        "import mavelin\nfound: list[str] = mavelin.validate('d').findings\n")
    r = run_process([sys.executable, "-m", "mypy", "--strict", "use.py"], cwd=tmp_path,
                    env={"MYPYPATH": str(tmp_path / "stubs")}, timeout=600)
    assert r.returncode == 1 and 'Argument "jobs" to "sign_folder"' in r.stdout, r.stdout
    assert '"tuple[Finding, ...]", variable has type "list[str]"' in r.stdout, r.stdout
