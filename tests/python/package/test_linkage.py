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
    assert os.path.basename(MODULE_FILE) == "mavelin" + sysconfig.get_config_var("EXT_SUFFIX")
    files = [f for f in importlib.metadata.distribution("mavelin").files
             if not f.parts[0].endswith(".dist-info")]
    assert [os.path.realpath(f.locate()) for f in files] == [os.path.realpath(MODULE_FILE)]


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
