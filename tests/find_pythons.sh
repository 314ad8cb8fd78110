#!/usr/bin/env bash
# Prints every CPython 3.10-3.13 of this machine, one a line, the newest of each minor version:
# from pyenv's versions folder (pyenv root, else $PYENV_ROOT, else ~/.pyenv) and from PATH.
set -uo pipefail

minors=(3.10 3.11 3.12 3.13)

pyenv_root=""
if command -v pyenv >/dev/null 2>&1; then
    pyenv_root="$(pyenv root 2>/dev/null)"
fi
if [ -z "$pyenv_root" ]; then
    pyenv_root="${PYENV_ROOT:-${HOME:-/nonexistent}/.pyenv}"
fi

# The interpreter's own path when it really runs as CPython of minor version $2 (a pyenv shim
# may exist without its version), else nothing.
real_python() {
    "$1" -c '
import platform, sys
if platform.python_implementation() == "CPython" and "%d.%d" % sys.version_info[:2] == sys.argv[1]:
    print(sys.executable)' "$2" 2>/dev/null
}

for minor in "${minors[@]}"; do
    found=""
    # Newest patch release first (version order: 3.12.10 after 3.12.9).
    while IFS= read -r candidate; do
        [ -x "$candidate" ] || continue
        found="$(real_python "$candidate" "$minor")"
        [ -n "$found" ] && break
    done < <(printf '%s\n' "$pyenv_root"/versions/"$minor".*/bin/python | sort -Vr)
    if [ -z "$found" ] && command -v "python$minor" >/dev/null 2>&1; then
        found="$(real_python "python$minor" "$minor")"
    fi
    if [ -n "$found" ]; then
        echo "$found"
    fi
done
