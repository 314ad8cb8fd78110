#!/usr/bin/env bash
# Runs every test suite: the Python behaviour tests under each interpreter, the engine tests plain and sanitized.
set -uo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo" || exit 1

export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
jobs=2

passed=0
failed=0
failures=()

pass() { passed=$((passed + 1)); echo "=== PASS: $1"; }
fail() { failed=$((failed + 1)); failures+=("$1"); echo "=== FAIL: $1"; }

# An interpreter counts only if it really runs (a pyenv shim may exist without the version).
real_python() {
    "$1" -c 'import sys; print(sys.executable)' 2>/dev/null
}

pythons=()
add_python() {
    local exe
    exe="$(real_python "$1")" || return 0
    [ -n "$exe" ] || return 0
    for known in "${pythons[@]+"${pythons[@]}"}"; do
        [ "$known" = "$exe" ] && return 0
    done
    pythons+=("$exe")
}

found310=""
for candidate in /root/.pyenv/versions/3.10.*/bin/python; do
    if [ -x "$candidate" ] && real_python "$candidate" >/dev/null; then
        add_python "$candidate"
        found310=1
        break
    fi
done
if [ -z "$found310" ] && command -v python3.10 >/dev/null 2>&1; then
    add_python python3.10
fi
if command -v python3.11 >/dev/null 2>&1; then
    add_python python3.11
fi

if [ "${#pythons[@]}" -eq 0 ]; then
    echo "no Python 3.10 or 3.11 interpreter found" >&2
    echo "0 passed, 1 failed"
    exit 1
fi

# CMake and Ninja: from the first interpreter's scripts if pip installed them there.
PATH="$(dirname "${pythons[0]}"):$PATH"

for py in "${pythons[@]}"; do
    version="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    suite="pytest (Python $version)"
    echo "=== $suite: installing with $py"
    install_flags=(-q)
    if "$py" -c 'import scikit_build_core' >/dev/null 2>&1; then
        install_flags+=(--no-build-isolation)
    fi
    if ! CMAKE_BUILD_PARALLEL_LEVEL=$jobs "$py" -m pip install "${install_flags[@]}" \
            --config-settings=build-dir="build/pip-py$version" .; then
        fail "$suite (install)"
        continue
    fi
    # Run from the tests folder's parent, never from a folder holding a stray "mavelin".
    if "$py" -m pytest tests/python -q -p no:cacheprovider; then
        pass "$suite"
    else
        fail "$suite"
    fi
done

echo "=== style: formatting, shellcheck, clang-tidy"
if PYTHON="${pythons[0]}" bash tests/style_check.sh; then pass "style"; else fail "style"; fi

engine_suite() {
    local name="$1" dir="$2"
    shift 2
    echo "=== $name: building in $dir"
    if ! cmake -S . -B "$dir" -G Ninja -DMAVELIN_BUILD_TESTS=ON -DMAVELIN_BUILD_MODULE=OFF "$@"; then
        fail "$name (configure)"
        return
    fi
    if ! cmake --build "$dir" -j "$jobs"; then
        fail "$name (build)"
        return
    fi
    if (cd "$dir" && ./engine_tests ${ENGINE_TEST_FILTER:+--gtest_filter="$ENGINE_TEST_FILTER"}); then
        pass "$name"
    else
        fail "$name"
    fi
}

engine_suite "engine tests" build/engine -DMAVELIN_SANITIZE=OFF
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    engine_suite "engine tests (ASan+UBSan)" build/engine-sanitize -DMAVELIN_SANITIZE=ON
# The threaded parts under ThreadSanitizer: the runner and the fingerprint it computes (the
# long tiny-chunk and many-size runs are left to the plain builds: instrumented, they take ages).
ENGINE_TEST_FILTER='ParallelRunner.*:Fingerprint*:-ParallelRunner.SplitFilesOfTinyChunks*:ParallelRunner.ResultsInInput*' \
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
    engine_suite "engine tests (TSan)" build/engine-tsan -DMAVELIN_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo

# Each fuzz target for a minute on its corpus.
echo "=== fuzz smoke"
if bash fuzz/run.sh 60; then
    pass "fuzz smoke (3 targets, 60 s each)"
else
    fail "fuzz smoke"
fi

echo
for f in "${failures[@]+"${failures[@]}"}"; do
    echo "failed: $f"
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
