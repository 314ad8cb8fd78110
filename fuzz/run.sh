#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each on its corpus for SECONDS (default 60).
# Usage: fuzz/run.sh [SECONDS] [TARGET...]   (targets: pickle_reader zip_reader certificate_load metadata_member)
# New inputs go to build/fuzz/corpus/TARGET, crashes to build/fuzz/artifacts/; the seed corpus in
# fuzz/corpus/TARGET is only read. Exit status 1 when a target finds a crash.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"
seconds="${1:-60}"
shift || true
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(pickle_reader zip_reader certificate_load metadata_member)
cxx="${FUZZ_CXX:-$(command -v clang++-14 || command -v clang++)}"
build=build/fuzz

CXX="$cxx" cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMAVELIN_BUILD_MODULE=OFF -DMAVELIN_BUILD_TESTS=OFF -DMAVELIN_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" -j "${FUZZ_JOBS:-2}" >/dev/null

status=0
for t in "${targets[@]}"; do
    mkdir -p "$build/corpus/$t" "$build/artifacts"
    echo "=== fuzz_$t: ${seconds}s"
    if ! "$build/fuzz_$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
            -max_len=262144 -artifact_prefix="$build/artifacts/$t-" -print_final_stats=1 \
            "$build/corpus/$t" "fuzz/corpus/$t" 2>"$build/$t.log"; then
        status=1
        tail -40 "$build/$t.log"
    fi
    grep -E "stat::number_of_executed_units|Done [0-9]+ runs" "$build/$t.log" || true
done
exit "$status"
