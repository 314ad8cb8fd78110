#!/usr/bin/env bash
# Runs every test suite: the Python behaviour tests under each interpreter, the style checks, the
# engine tests plain and sanitized. Ends with "N passed, N failed", counting single tests.
#
#   bash tests/run_all.sh          every CPython 3.10-3.13 found (tests/find_pythons.sh); installs
#                                  the package into each of them
#   bash tests/run_all.sh --venv   only the active virtual environment's interpreter, no root
#                                  needed: installs there, skips what the machine lacks
set -uo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo" || exit 1

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
[ "$(id -u)" -eq 0 ] && export PIP_ROOT_USER_ACTION=ignore
jobs=2
venv=""
case "${1:-}" in
    --venv) venv=1 ;;
    "") ;;
    *) echo "usage: bash tests/run_all.sh [--venv]" >&2; exit 2 ;;
esac

passed=0
failed=0
skipped=0
failures=()
log="$(mktemp)"
trap 'rm -f "$log"' EXIT

# Adds the counts of one suite: $1 name, $2 exit status, $3 passed, $4 failed, $5 skipped.
# A suite that failed without counting a failed test (it did not build, it crashed) counts one.
count() {
    local name="$1" status="$2" p="${3:-0}" f="${4:-0}" s="${5:-0}"
    if [ "$status" -ne 0 ] && [ "$f" -eq 0 ]; then f=1; fi
    passed=$((passed + p))
    failed=$((failed + f))
    skipped=$((skipped + s))
    if [ "$f" -eq 0 ]; then
        echo "=== PASS: $name ($p passed, $s skipped)"
    else
        failures+=("$name")
        echo "=== FAIL: $name ($p passed, $f failed, $s skipped)"
    fi
}

# "N word" from pytest's closing line (e.g. "2 failed, 440 passed, 3 skipped in 31.2s").
pytest_number() {
    grep -E '[0-9]+ (passed|failed|skipped|errors?|xfailed|xpassed)' "$log" | tail -n 1 \
        | grep -Eo "[0-9]+ $1" | grep -Eo '^[0-9]+' || echo 0
}

pythons=()
if [ -n "$venv" ]; then
    if [ -z "${VIRTUAL_ENV:-}" ] || [ ! -x "$VIRTUAL_ENV/bin/python" ]; then
        echo "--venv: activate a virtual environment first (source VENV/bin/activate)" >&2
        echo "0 passed, 1 failed"
        exit 1
    fi
    pythons=("$VIRTUAL_ENV/bin/python")
else
    mapfile -t pythons < <(bash tests/find_pythons.sh)
fi
if [ "${#pythons[@]}" -eq 0 ]; then
    echo "no CPython 3.10, 3.11, 3.12 or 3.13 found" >&2
    echo "0 passed, 1 failed"
    exit 1
fi
echo "=== interpreters: ${pythons[*]}"

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
        count "$suite (install)" 1
        continue
    fi
    # Run from the tests folder's parent, never from a folder holding a stray "mavelin".
    "$py" -m pytest tests/python -q -p no:cacheprovider -rs 2>&1 | tee "$log"
    status="${PIPESTATUS[0]}"
    count "$suite" "$status" "$(pytest_number passed)" \
        $(($(pytest_number failed) + $(pytest_number 'errors?'))) \
        "$(pytest_number skipped)"
done

if [ -n "$venv" ] && ! command -v clang-tidy >/dev/null 2>&1; then
    echo "=== style: skipped (clang-format, clang-tidy and shellcheck are not all installed)"
else
    echo "=== style: formatting, shellcheck, clang-tidy"
    PYTHON="${pythons[0]}" bash tests/style_check.sh
    count "style" "$?" 1
fi

engine_suite() {
    local name="$1" dir="$2"
    shift 2
    echo "=== $name: building in $dir"
    cmake -S . -B "$dir" -G Ninja -DMAVELIN_BUILD_TESTS=ON -DMAVELIN_BUILD_MODULE=OFF "$@" 2>&1 \
        | tee "$log"
    if [ "${PIPESTATUS[0]}" -ne 0 ]; then
        if [ -n "$venv" ] && grep -q 'GTest' "$log"; then
            echo "=== $name: skipped (GoogleTest is not installed: apt-get install libgtest-dev)"
        else
            count "$name (configure)" 1
        fi
        return
    fi
    if ! cmake --build "$dir" -j "$jobs"; then
        count "$name (build)" 1
        return
    fi
    (cd "$dir" && ./engine_tests ${ENGINE_TEST_FILTER:+--gtest_filter="$ENGINE_TEST_FILTER"}) 2>&1 \
        | tee "$log"
    local status="${PIPESTATUS[0]}" p f s
    p="$(grep -Eo '^\[  PASSED  \] [0-9]+' "$log" | grep -Eo '[0-9]+$' || echo 0)"
    f="$(grep -Eo '^\[  FAILED  \] [0-9]+ tests?, listed below' "$log" | grep -Eo '[0-9]+' || echo 0)"
    s="$(grep -Eo '^\[  SKIPPED \] [0-9]+ tests?, listed below' "$log" | grep -Eo '[0-9]+' || echo 0)"
    count "$name" "$status" "$p" "$f" "$s"
}

engine_suite "engine tests" build/engine -DMAVELIN_SANITIZE=OFF
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    engine_suite "engine tests (ASan+UBSan)" build/engine-sanitize -DMAVELIN_SANITIZE=ON
# The threaded parts under ThreadSanitizer: the runner, the walk that feeds it, and the fingerprint (the
# long tiny-chunk and many-size runs are left to the plain builds: instrumented, they take ages).
ENGINE_TEST_FILTER='ParallelRunner.*:Progress.*:Fingerprint*:SmallFileBatch.*:StreamingScan.*:-ParallelRunner.SplitFilesOfTinyChunks*:ParallelRunner.ResultsInInput*' \
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
    engine_suite "engine tests (TSan)" build/engine-tsan -DMAVELIN_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo

# Each fuzz target for a minute on its corpus.
if [ -n "$venv" ] && ! command -v clang++-14 >/dev/null 2>&1 && ! command -v clang++ >/dev/null 2>&1; then
    echo "=== fuzz smoke: skipped (clang is not installed)"
else
    echo "=== fuzz smoke"
    bash fuzz/run.sh 60
    count "fuzz smoke (3 targets, 60 s each)" "$?" 1
fi

echo
for f in "${failures[@]+"${failures[@]}"}"; do
    echo "failed: $f"
done
echo "skipped: $skipped"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
