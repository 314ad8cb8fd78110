#!/usr/bin/env bash
# The test command. Installs nothing into the machine's interpreters: each interpreter gets a
# virtual environment of its own below build/test, where the package is built and installed, and
# every file a run writes (pip's cache, temporary files, logs) stays in the clone. Prints one line
# per stage and, for a failed stage, its failures in full; each stage's whole output is kept in
# build/test/logs. Ends with "N passed, N failed", counting single tests.
#
#   bash tests/run_all.sh          quick: one interpreter ($PYTHON, else the first CPython
#                                  3.10-3.13 that tests/find_pythons.sh finds), the Python suite
#                                  and the engine tests (plain build)
#   bash tests/run_all.sh --full   every CPython 3.10-3.13 found, the Dask extra (and
#                                  dask-jobqueue) on the first;
#                                  the style checks; the engine tests plain, with AddressSanitizer
#                                  and UndefinedBehaviorSanitizer, and a ThreadSanitizer subset;
#                                  each fuzz target for a while ($FUZZ_SECONDS, default 60)
set -uo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo" || exit 1

full=""
case "${1:-}" in
    --full) full=1 ;;
    "") ;;
    *) echo "usage: bash tests/run_all.sh [--full]" >&2; exit 2 ;;
esac

top="$repo/build/test"
logs="$top/logs"
rm -rf "$logs" "$top/tmp"
mkdir -p "$logs" "$top/tmp" "$top/cache" || exit 1
export TMPDIR="$top/tmp" XDG_CACHE_HOME="$top/cache" PIP_CACHE_DIR="$top/cache/pip"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
[ "$(id -u)" -eq 0 ] && export PIP_ROOT_USER_ACTION=ignore
jobs=2
tools=(click pytest jsonschema scikit-build-core ninja cmake mypy)

passed=0
failed=0
skipped=0
failures=()
started=0
terminal=""
[ -t 1 ] && terminal=1

# Announces a stage: its name, while it runs, on a terminal only.
begin() {
    started=$SECONDS
    [ -n "$terminal" ] && printf '      %s ...' "$1"
}

# The line of a finished stage: $1 PASS/FAIL/SKIP, $2 name, $3 what it counted.
line() {
    local took=$((SECONDS - started))
    [ -n "$terminal" ] && printf '\r\033[K'
    printf '%-4s  %-32s %-36s %dm%02ds\n' "$1" "$2" "$3" $((took / 60)) $((took % 60))
}

# Adds a finished stage: $1 name, $2 exit status, $3 passed, $4 failed, $5 skipped, $6 the
# function that prints its failures (given the log), $7 its log. A stage that failed without a
# failed test (it did not build, it crashed) counts one failure.
finish() {
    local name="$1" status="$2" p="${3:-0}" f="${4:-0}" s="${5:-0}" show="$6" log="$7"
    if [ "$status" -ne 0 ] && [ "$f" -eq 0 ]; then f=1; fi
    passed=$((passed + p))
    failed=$((failed + f))
    skipped=$((skipped + s))
    local counts="$p passed"
    [ "$f" -gt 0 ] && counts+=", $f failed"
    [ "$s" -gt 0 ] && counts+=", $s skipped"
    [ "$show" = show_all ] && counts=""
    if [ "$f" -eq 0 ]; then
        line PASS "$name" "$counts"
    else
        failures+=("$name (log: ${log#"$repo/"})")
        line FAIL "$name" "$counts"
        "$show" "$log" | sed 's/^/    | /'
    fi
}

# A stage that is a single check: $1 name, $2 exit status, $3 log; $4 1 when its success
# counts as a passed test (a check, not a preparation).
finish_step() {
    finish "$1" "$2" $(($2 == 0 && ${4:-0})) 0 0 show_all "$3"
}

skip() {
    line SKIP "$1" "$2"
}

show_all() { cat "$1"; }

# pytest -q: from the failures section on (tracebacks, captured output, the short summary),
# without the slowest durations; everything when it ended before one (a collection error, a crash).
show_pytest() {
    if grep -qE '^=+ (FAILURES|ERRORS) =+$' "$1"; then
        sed -n '/^=* \(FAILURES\|ERRORS\) =*$/,$p' "$1" |
            sed '/^=* slowest [0-9]* durations =*$/,/^=* short test summary info =*$/{/short test summary/!d}'
    else
        cat "$1"
    fi
}

# engine_tests --gtest_brief=1 prints the failed tests only.
show_gtest() { cat "$1"; }

# "N word" from pytest's closing line (e.g. "2 failed, 440 passed, 3 skipped in 31.2s").
pytest_number() {
    grep -E '[0-9]+ (passed|failed|skipped|errors?|xfailed|xpassed)' "$1" | tail -n 1 \
        | grep -Eo "[0-9]+ $2" | grep -Eo '^[0-9]+' || echo 0
}

pythons=()
if [ -n "$full" ]; then
    mapfile -t pythons < <(bash tests/find_pythons.sh)
elif [ -n "${PYTHON:-}" ]; then
    pythons=("$(command -v "$PYTHON")")
else
    mapfile -t pythons < <(bash tests/find_pythons.sh | head -n 1)
    if [ "${#pythons[@]}" -eq 0 ] && python3 -c 'import sys; sys.exit(not (3, 10) <= sys.version_info[:2] <= (3, 13))' 2>/dev/null; then
        pythons=("$(command -v python3)")
    fi
fi
if [ "${#pythons[@]}" -eq 0 ] || [ -z "${pythons[0]}" ]; then
    echo "no CPython 3.10, 3.11, 3.12 or 3.13 found (PYTHON=... names one)" >&2
    echo "0 passed, 1 failed"
    exit 1
fi
mode=quick
[ -n "$full" ] && mode=full
echo "mavelin tests, $mode run; every stage's output is in ${logs#"$repo/"}"

# The virtual environment of interpreter $1 (version $2) with the test tools and $3 (extra pip
# packages), created or brought up to date; its folder in $venv. The tools are installed again
# only when the list changed.
venv=""
make_venv() {
    local py="$1" version="$2" extra="$3" log="$logs/venv-$2.log"
    venv="$top/venv-$version"
    local want="${tools[*]}${extra:+ $extra}"
    begin "venv (Python $version)"
    if [ ! -x "$venv/bin/python" ] && ! "$py" -m venv "$venv" >"$log" 2>&1; then
        echo "(on Debian, python3's venv needs: apt-get install python3-venv)" >>"$log"
        rm -rf "$venv"
        finish_step "venv (Python $version)" 1 "$log"
        return 1
    fi
    if [ "$(cat "$venv/.tools" 2>/dev/null)" != "$want" ]; then
        # shellcheck disable=SC2086  # $extra: a list of package names
        if ! "$venv/bin/python" -m pip install "${tools[@]}" $extra >>"$log" 2>&1; then
            finish_step "venv (Python $version)" 1 "$log"
            return 1
        fi
        echo "$want" >"$venv/.tools"
    fi
    finish_step "venv (Python $version)" 0 "$log"
}

# Builds and installs the package into the venv of version $1, then runs the Python suite.
python_suite() {
    local version="$1" py="$venv/bin/python" log="$logs/install-$1.log"
    begin "install (Python $version)"
    CMAKE_BUILD_PARALLEL_LEVEL=$jobs "$py" -m pip install --no-build-isolation \
        --config-settings=build-dir="build/pip-py$version" . >"$log" 2>&1
    local status=$?
    finish_step "install (Python $version)" "$status" "$log"
    [ "$status" -eq 0 ] || return
    log="$logs/pytest-$version.log"
    begin "pytest (Python $version)"
    # From the tests folder's parent, never from a folder holding a stray "mavelin".
    PATH="$venv/bin:$PATH" "$py" -m pytest tests/python -q -p no:cacheprovider -rfEs --durations=10 >"$log" 2>&1
    status=$?
    finish "pytest (Python $version)" "$status" "$(pytest_number "$log" passed)" \
        $(($(pytest_number "$log" failed) + $(pytest_number "$log" 'errors?'))) \
        "$(pytest_number "$log" skipped)" show_pytest "$log"
}

first_venv=""
for py in "${pythons[@]}"; do
    version="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    # The optional Dask extra on the first (reference) interpreter of a full run, so the cluster
    # tests run there and the others check that nothing needs it; dask-jobqueue (no dependency of
    # the package) for the test of the README's Slurm example.
    extra=""
    [ -n "$full" ] && [ -z "$first_venv" ] && extra="distributed dask-jobqueue"
    make_venv "$py" "$version" "$extra" || continue
    [ -n "$first_venv" ] || first_venv="$venv"
    python_suite "$version"
done
if [ -z "$first_venv" ]; then
    echo "$passed passed, $((failed > 0 ? failed : 1)) failed"
    exit 1
fi
# CMake and Ninja from the first venv.
PATH="$first_venv/bin:$PATH"

if [ -n "$full" ]; then
    begin "style"
    PYTHON="$first_venv/bin/python" bash tests/style_check.sh >"$logs/style.log" 2>&1
    finish_step "style (format, shellcheck, clang-tidy)" "$?" "$logs/style.log" 1
fi

# An engine build and its tests: $1 name, $2 build folder, $3 log name, the rest CMake options.
engine_suite() {
    local name="$1" dir="$2" log="$logs/$3.log" run_log="$logs/$3-run.log"
    shift 3
    begin "$name"
    if ! cmake -S . -B "$dir" -G Ninja -DMAVELIN_BUILD_TESTS=ON -DMAVELIN_BUILD_MODULE=OFF "$@" \
            >"$log" 2>&1; then
        if [ -z "$full" ] && grep -q 'GTest' "$log"; then
            skip "$name" "GoogleTest is missing (libgtest-dev)"
        else
            finish_step "$name (configure)" 1 "$log"
        fi
        return
    fi
    if ! cmake --build "$dir" -j "$jobs" >>"$log" 2>&1; then
        finish_step "$name (build)" 1 "$log"
        return
    fi
    log="$run_log"
    (cd "$dir" && ./engine_tests --gtest_brief=1 \
        ${ENGINE_TEST_FILTER:+--gtest_filter="$ENGINE_TEST_FILTER"}) >"$log" 2>&1
    local status=$? p f s
    p="$(grep -Eo '^\[  PASSED  \] [0-9]+' "$log" | grep -Eo '[0-9]+$' || echo 0)"
    f="$(grep -Eo '^\[  FAILED  \] [0-9]+ tests?[,.]' "$log" | grep -Eo '[0-9]+' || echo 0)"
    s="$(grep -Eo '^\[  SKIPPED \] [0-9]+ tests?[,.]' "$log" | grep -Eo '[0-9]+' || echo 0)"
    finish "$name" "$status" "$p" "$f" "$s" show_gtest "$log"
}

engine_suite "engine tests" build/engine engine -DMAVELIN_SANITIZE=OFF
if [ -n "$full" ]; then
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        engine_suite "engine tests (ASan+UBSan)" build/engine-sanitize engine-sanitize \
        -DMAVELIN_SANITIZE=ON
    # The threaded parts under ThreadSanitizer: the runner and its reader threads, the walk that
    # feeds it (with the stat pool of the metadata records), a cluster task's block, and the
    # fingerprint (the long tiny-chunk and many-size runs are left to the plain builds:
    # instrumented, they take ages).
    ENGINE_TEST_FILTER='ParallelRunner.*:Progress.*:Fingerprint*:SmallFileBatch.*:StreamingScan.*:MetadataMember.*:Readers.*:SubtreeBlock.*:-ParallelRunner.SplitFilesOfTinyChunks*:ParallelRunner.ResultsInInput*' \
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
        engine_suite "engine tests (TSan)" build/engine-tsan engine-tsan \
        -DMAVELIN_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo

    seconds="${FUZZ_SECONDS:-60}"
    begin "fuzz smoke"
    bash fuzz/run.sh "$seconds" >"$logs/fuzz.log" 2>&1
    finish_step "fuzz smoke (4 targets, ${seconds} s each)" "$?" "$logs/fuzz.log" 1
fi

# The tests' temporary files (pytest keeps its last runs' there) are of no use after the run.
rm -rf "$top/tmp"

echo
[ -n "$full" ] || echo "(quick run: --full adds the other interpreters, style, sanitizers and fuzzing)"
for f in "${failures[@]+"${failures[@]}"}"; do
    echo "failed: $f"
done
[ "$skipped" -gt 0 ] && echo "skipped: $skipped (reasons in the logs)"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
