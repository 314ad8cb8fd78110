#!/usr/bin/env bash
# Style and static checks: clang-format on every C++ file, shellcheck on every shell script,
# clang-tidy (.clang-tidy) on the engine and binding sources. Exit status 0 when all are clean.
# PYTHON names the interpreter whose headers the binding is checked against (default python3).
set -uo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo" || exit 1
jobs="${JOBS:-2}"
status=0

for tool in clang-format clang-tidy shellcheck cmake; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "style: $tool is not installed" >&2
        status=1
    fi
done
[ "$status" -eq 0 ] || exit 1

# Tracked files plus new ones not yet added (ignored build output left out); outside a git
# checkout, every file but build output.
files() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files --cached --others --exclude-standard -- "$@"
        return
    fi
    local patterns=() p
    for p in "$@"; do patterns+=(-o -path "./$p"); done
    [ "$#" -gt 0 ] || patterns=(-o -true)
    find . \( -path ./build -o -path ./.git \) -prune -o -type f \( -false "${patterns[@]}" \) -print |
        sed 's|^\./||'
}

echo "--- clang-format"
mapfile -t cxx < <(files '*.cpp' '*.h')
if [ "${#cxx[@]}" -gt 0 ] && ! clang-format --dry-run -Werror "${cxx[@]}"; then
    echo "style: run clang-format -i on the files above" >&2
    status=1
fi

echo "--- shellcheck"
scripts=()
while IFS= read -r f; do
    case "$f" in
        *.sh) scripts+=("$f") ;;
        *) if head -n 1 "$f" 2>/dev/null | grep -qE '^#!.*\b(ba)?sh\b'; then scripts+=("$f"); fi ;;
    esac
done < <(files)
if [ "${#scripts[@]}" -gt 0 ] && ! shellcheck "${scripts[@]}"; then
    status=1
fi

echo "--- binding boundary"
# Every function handed to the interpreter (method tables, type slots, getters, initialisers) goes
# through py::entry (src/python/capi/entry.h), and the interpreter lock is released with
# py::GilRelease / py::without_gil (capi/gil.h), never with the macro pair.
mapfile -t binding < <(files 'src/python/*.cpp' 'src/python/*.h')
boundary='Py_(BEGIN|END)_ALLOW_THREADS|Py_(BLOCK|UNBLOCK)_THREADS|reinterpret_cast<PyCFunction>'
boundary+='|reinterpret_cast<void ?\*>\([a-z_]+\)|^\s*\{"[A-Za-z_]+", *[a-z_]+,'
if [ "${#binding[@]}" -gt 0 ] &&
        grep -nE "$boundary" "${binding[@]}" | grep -v '^src/python/capi/entry.h:'; then
    echo "style: use py::method / py::slot / py::entry and py::GilRelease at the lines above" >&2
    status=1
fi

echo "--- clang-tidy"
build=build/style
mkdir -p "$build" || exit 1
if ! cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DMAVELIN_BUILD_MODULE=ON \
        -DMAVELIN_BUILD_TESTS=OFF -DPython_EXECUTABLE="$(command -v "${PYTHON:-python3}")" \
        >"$build/configure.log" 2>&1; then
    cat "$build/configure.log" >&2
    echo "style: cmake could not configure $build" >&2
    exit 1
fi
# One clang-tidy per source; only the output of files with findings is shown.
mapfile -t sources < <(files 'src/*.cpp')
# shellcheck disable=SC2016  # the inner shell expands $0, $1 and $out
if [ "${#sources[@]}" -gt 0 ] && ! printf '%s\0' "${sources[@]}" | xargs -0 -n 1 -P "$jobs" sh -c \
        'out=$(clang-tidy -p "$0" --quiet "$1" 2>&1) || { printf "%s\n" "$out"; exit 1; }' \
        "$build"; then
    echo "style: clang-tidy found the problems above" >&2
    status=1
fi

[ "$status" -eq 0 ] && echo "style: clean"
exit "$status"
