#!/usr/bin/env bash
# Builds the tests with AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan) and with ThreadSanitizer (build-tsan), and runs them all.
# A leak, a data race or undefined behaviour in our code fails the run; the
# suppression files in tests/sanitizers/ say what is excused and why, and the
# canary tests there prove that our own faults still get through.
# Prints the time each half took.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/deps.sh"
pictavo_install_packages

supp="$root/tests/sanitizers"
export QT_QPA_PLATFORM=offscreen
# Sanitized code runs several times slower: the load test makes do with
# 200 images instead of 1000.
export PICTAVO_QUICK=1

build() { # dir, sanitizer
    # -O1 keeps the runs quick and the stacks readable.
    cmake -S "$root" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        "-DCMAKE_CXX_FLAGS_DEBUG=-g -O1" -DPICTAVO_SANITIZE="$2" >/dev/null
    cmake --build "$1" -j2
}

# The package tests check the .deb, not our code.
skip='^install_'

start=$SECONDS
build "$root/build-asan" address
# Slow unwinding: Qt is built without frame pointers, and a leak's stack
# must reach past Qt's frames for the suppressions to match exactly.
# intercept_tls_get_addr=0: the runtime's guess at the size of a plugin's
# thread-local block can read garbage on this glibc (see
# tests/sanitizers/tsan_qt_bridge.cpp); the blocks come from malloc, so the
# leak checker reaches them without the guess.
ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:check_initialization_order=1:intercept_tls_get_addr=0" \
LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    ctest --test-dir "$root/build-asan" --output-on-failure --timeout 900 -j2 -E "$skip"
asan=$((SECONDS - start))

start=$SECONDS
build "$root/build-tsan" thread
# die_after_fork=0: QProcess forks to run mount and the close driver; the
# child only execs.
# intercept_tls_get_addr=0 is also the tests' built-in default; see
# tests/sanitizers/tsan_qt_bridge.cpp for why.
TSAN_OPTIONS="suppressions=$supp/tsan.supp:ignore_noninstrumented_modules=1:die_after_fork=0:second_deadlock_stack=1:intercept_tls_get_addr=0" \
    ctest --test-dir "$root/build-tsan" --output-on-failure --timeout 900 -j2 -E "$skip"
tsan=$((SECONDS - start))

echo "sanitize.sh: AddressSanitizer ${asan} s, ThreadSanitizer ${tsan} s (builds included)"
