# The boundary between the interpreter and the C++ code: C++ exceptions, subinterpreters.
import pytest

from mavelin.core import hashing
from support import run_python


# --- C++ exceptions become Python exceptions ------------------------------------------------------

@pytest.mark.parametrize("kind, exception, text", [
    ("memory", MemoryError, ""),
    ("runtime", RuntimeError, "thrown for a test"),
    ("other", SystemError, "unknown C++ exception"),
])
def test_a_cpp_exception_reaches_python_as_an_exception_and_the_interpreter_goes_on(
        kind, exception, text):
    with pytest.raises(exception) as info:
        hashing._raise_cpp_exception(kind)
    assert type(info.value) is exception and text in str(info.value)
    assert hashing._generate_hash(b"abc").hexdigest().startswith("ba7816bf")


def test_a_cpp_exception_in_a_fresh_interpreter_is_caught_and_the_process_ends_normally():
    r = run_python("""
from mavelin.core import hashing
for kind in ("memory", "runtime", "other"):
    try:
        hashing._raise_cpp_exception(kind)
    except (MemoryError, RuntimeError, SystemError) as e:
        print(type(e).__name__)
""")
    assert (r.returncode, r.stdout.split(), r.stderr) == (
        0, ["MemoryError", "RuntimeError", "SystemError"], "")


# --- subinterpreters ------------------------------------------------------------------------------

SUBINTERPRETER_IMPORT = r"""
import _testcapi, json, sys
out = sys.argv[1]

def import_in_subinterpreter():
    code = f'''
try:
    import mavelin.core.hashing
    result = "imported " + mavelin.core.hashing._generate_hash(b"abc").hexdigest()[:8]
except ImportError as e:
    result = "ImportError: " + str(e)
with open({out!r}, "w") as f:
    f.write(result)
'''
    status = _testcapi.run_in_subinterp(code)
    with open(out) as f:
        return status, f.read()

def import_here():
    import mavelin.core.hashing, mavelin.utils
    return mavelin.core.hashing._generate_hash(b"abc").hexdigest()[:8]

results = []
for step in sys.argv[2].split(","):
    results.append(import_in_subinterpreter() if step == "sub" else import_here())
print(json.dumps(results))
"""

REFUSED = "ImportError: mavelin can only be imported in the main interpreter, not in a subinterpreter"


@pytest.mark.parametrize("order", ["sub,main", "main,sub", "sub,main,sub"])
def test_a_subinterpreter_gets_a_clear_import_error_and_the_main_interpreter_keeps_working(
        order, tmp_path):
    pytest.importorskip("_testcapi")
    import json
    r = run_python(SUBINTERPRETER_IMPORT, str(tmp_path / "result"), order)
    assert r.returncode == 0 and r.stderr == "", r.stderr
    results = json.loads(r.stdout)
    for step, result in zip(order.split(","), results):
        if step == "sub":
            assert result == [0, REFUSED]  # the subinterpreter ran its code to the end
        else:
            assert result == "ba7816bf"
