#!/usr/bin/env bash
# Mutation fuzzing of the conversion path under AddressSanitizer and
# UndefinedBehaviorSanitizer: builds tests/fuzz/fuzzconvert.cpp and the
# helper in build-asan and runs one process per core for SECONDS (default
# 600), each with its own seed, over the hostile corpus and seeds of HEIC,
# AVIF and JPEG XL made here with Debian's tools (and a DNG the fuzzer
# writes). Beside them one process of tests/fuzz/fuzzprotocol.cpp plays
# damaged helper messages to the window's receiving side for as long.
# A crash of Pictavo prints the sanitizer's report and leaves the mutant
# as fuzz-out/<seed>/current.*; a hang keeps it as hang-*. A helper
# that dies or runs past its time on a mutant is a library's finding, kept
# as library-* and counted apart: the window survives those by design.
# Not part of CI: run it after changing a reader, the metadata or the encoder.
#
# usage: scripts/fuzz.sh [SECONDS] [FIRST-SEED]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-600}"
seed="${2:-$RANDOM}"
source "$root/scripts/deps.sh"
# The seeds' makers; only this script needs them.
pictavo_install_packages libheif-examples libjxl-tools

cmake -S "$root" -B "$root/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    "-DCMAKE_CXX_FLAGS_DEBUG=-g -O1" -DPICTAVO_SANITIZE=address >/dev/null
cmake --build "$root/build-asan" --target pictavo_fuzz pictavo_fuzz_protocol pictavo-helper

# Seeds from a small gradient: JPEG XL by cjxl, PNG back by djxl, HEIC and
# AVIF from that by heif-enc.
seeds="$root/fuzz-out/seeds"
mkdir -p "$seeds"
{
    printf 'P6\n64 48\n255\n'
    for y in $(seq 0 47); do for x in $(seq 0 63); do
        printf "\\$(printf %o $((x * 4)))\\$(printf %o $((y * 5)))\\$(printf %o 128)"
    done; done
} > "$seeds/gradient.ppm"
cjxl -q 90 "$seeds/gradient.ppm" "$seeds/seed.jxl" >/dev/null 2>&1
cjxl -d 0 "$seeds/gradient.ppm" "$seeds/lossless.jxl" >/dev/null 2>&1
djxl "$seeds/seed.jxl" "$seeds/gradient.png" >/dev/null 2>&1
heif-enc -q 80 -o "$seeds/seed.heic" "$seeds/gradient.png" >/dev/null
heif-enc -A -q 80 -o "$seeds/seed.avif" "$seeds/gradient.png" >/dev/null
rm -f "$seeds/gradient.ppm" "$seeds/gradient.png"
export PICTAVO_HELPER="$root/build-asan/src/pictavo-helper"

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
    "$root/build-asan/tests/pictavo_fuzz" "$seconds" "$((seed + i))" "$out" "$seeds" &
    pids+=($!)
done
mkdir -p "$root/fuzz-out/protocol"
"$root/build-asan/tests/pictavo_fuzz_protocol" "$seconds" "$seed" "$root/fuzz-out/protocol" &
pids+=($!)
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
findings=$(find "$root/fuzz-out" -name 'library-*' | wc -l)
[ "$status" = 0 ] && echo "fuzz.sh: no crash, no hang of Pictavo in ${seconds} s per process"
echo "fuzz.sh: ${findings} mutants that ended a helper (library findings): fuzz-out/*/library-*"
exit "$status"
