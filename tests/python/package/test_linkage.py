# The installed extension module: one file, linked against the C runtime only, exporting one symbol.
import importlib.metadata
import os
import re
import shutil
import subprocess
import sysconfig

import pytest

import mavelin

MODULE_FILE = mavelin.__file__


def _tool(name):
    path = shutil.which(name)
    if not path:
        pytest.skip(f"{name} is not installed")
    return path


def test_the_distribution_installs_one_extension_module_file():
    # The package folder's __init__, so that the interpreter knows `mavelin` for a package
    # before loading it (python -m mavelin); the console script is metadata made into a file.
    assert os.path.basename(MODULE_FILE) == "__init__" + sysconfig.get_config_var("EXT_SUFFIX")
    assert os.path.basename(os.path.dirname(MODULE_FILE)) == "mavelin"
    scripts = os.path.realpath(sysconfig.get_path("scripts"))
    files = [os.path.realpath(f.locate()) for f in importlib.metadata.distribution("mavelin").files
             if not f.parts[0].endswith(".dist-info")]
    assert [f for f in files if os.path.dirname(f) != scripts] == [os.path.realpath(MODULE_FILE)]
    assert [os.path.basename(f) for f in files if os.path.dirname(f) == scripts] == ["mavelin"]


def test_needs_only_libc_libm_and_the_loader():
    out = subprocess.run([_tool("readelf"), "-d", "-W", MODULE_FILE], capture_output=True,
                         text=True, check=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)
    assert "libc.so.6" in needed
    unexpected = [lib for lib in needed
                  if lib not in ("libc.so.6", "libm.so.6") and not re.fullmatch(r"ld-linux[-\w.]*\.so\.\d", lib)]
    assert unexpected == []


def test_exports_only_the_module_initialiser():
    out = subprocess.run([_tool("nm"), "-D", "--defined-only", MODULE_FILE], capture_output=True,
                         text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_mavelin"]


def test_every_required_symbol_comes_from_the_interpreter_or_glibc():
    out = subprocess.run([_tool("nm"), "-D", "--undefined-only", MODULE_FILE], capture_output=True,
                         text=True, check=True).stdout
    required = [line.split()[-1] for line in out.splitlines() if line.split()[:1] == ["U"]]
    assert required
    assert [s for s in required if not re.match(r"_?Py|.*@GLIBC_[\d.]+$", s)] == []
