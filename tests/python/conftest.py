# Shared fixtures: permission checks as root, forcing each SHA-256 implementation; Ctrl-C as
# the interpreter handles it by default.
import os
import shutil
import signal
import subprocess

import pytest

from support import SHA256_PATHS

# Started as a background job of a shell without job control, the interpreter inherits SIGINT
# ignored and never raises KeyboardInterrupt; the interrupt tests need its usual handler, which
# the command-line runs they start then inherit as the default action.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def _dac_drop_prefix():
    if os.geteuid() != 0:
        return []
    setpriv = shutil.which("setpriv")
    if not setpriv:
        return None
    probe = subprocess.run([setpriv, "--bounding-set", "-dac_override,-dac_read_search", "--",
                            "true"], capture_output=True)
    if probe.returncode != 0:
        return None
    return [setpriv, "--bounding-set", "-dac_override,-dac_read_search", "--"]


@pytest.fixture(scope="session")
def without_dac_override():
    """Command prefix under which file permissions apply (as root: capabilities dropped)."""
    prefix = _dac_drop_prefix()
    if prefix is None:
        pytest.skip("running as root and cannot drop CAP_DAC_OVERRIDE (no setpriv)")
    return prefix


@pytest.fixture(params=SHA256_PATHS)
def sha256_path(request):
    """Forces each SHA-256 implementation in turn; skipped where the CPU lacks it."""
    from mavelin.core import hashing
    if request.param not in hashing._implementations():
        pytest.skip(f"{request.param} not available on this CPU")
    previous = hashing._force_implementation(request.param)
    try:
        yield request.param
    finally:
        hashing._force_implementation(previous)
