#!/usr/bin/env bash
# Mutation fuzzing of the conversion path under AddressSanitizer and
# UndefinedBehaviorSanitizer: builds tests/fuzz/fuzzconvert.cpp in
# build-asan and runs one process per core for SECONDS (default 600), each
# with its own seed. A crash prints the sanitizer's report and leaves the
# mutant as fuzz-out/<seed>/current.*; a hang keeps it as hang-*. Not part
# of CI: run it after changing a reader, the metadata or the encoder.
#
# usage: scripts/fuzz.sh [SECONDS] [FIRST-SEED]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-600}"
seed="${2:-$RANDOM}"
source "$root/scripts/deps.sh"
pictavo_install_packages

cmake -S "$root" -B "$root/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    "-DCMAKE_CXX_FLAGS_DEBUG=-g -O1" -DPICTAVO_SANITIZE=address >/dev/null
cmake --build "$root/build-asan" --target pictavo_fuzz

export QT_QPA_PLATFORM=offscreen
# Leaks are the suite's business (sanitize.sh); here a crash or undefined
# behaviour stops the run.
export ASAN_OPTIONS="detect_leaks=0:intercept_tls_get_addr=0:abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
status=0
pids=()
for i in $(seq 0 $(( $(nproc) - 1 ))); do
    out="$root/fuzz-out/$((seed + i))"
    mkdir -p "$out"
    "$root/build-asan/tests/pictavo_fuzz" "$seconds" "$((seed + i))" "$out" &
    pids+=($!)
done
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
[ "$status" = 0 ] && echo "fuzz.sh: no crash, no hang in ${seconds} s per process"
exit "$status"
