#!/usr/bin/env bash
# Builds and runs the whole test suite: the plain build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, a ThreadSanitizer build of the threaded
# tests, and every libFuzzer target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=${JOBS:-8}
fuzz_seconds=${FUZZ_SECONDS:-20}

step() { printf '\n==== %s ====\n' "$*"; }

build() {  # dir, extra cmake arguments...
    local dir=$1; shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

step "ASan+UBSan build"
build build-asan -DVELMAR_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan -j"$jobs" --output-on-failure

step "TSan build (threaded tests)"
build build-tsan -DVELMAR_SANITIZE=thread -DVELMAR_BUILD_BENCH=OFF
# TSan needs a low-entropy address space on recent kernels.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    setarch "$(uname -m)" -R ctest --test-dir build-tsan -j"$jobs" -L threaded --output-on-failure

step "Fuzz targets (${fuzz_seconds}s each)"
CC=clang-14 CXX=clang++-14 build build-fuzz -DVELMAR_FUZZ=ON
if [ -d build-fuzz/fuzz ]; then
    for f in $(find build-fuzz/fuzz -maxdepth 1 -type f -executable -name '*_fuzz' | sort); do
        name=$(basename "$f")
        corpus=fuzz/corpus/${name%_fuzz}
        work=$(mktemp -d)
        [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
        echo "-- $name"
        "$f" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=0 "$work" 2>&1 | tail -n 3
        rm -rf "$work"
    done
fi

step "Plain build"
build build
ctest --test-dir build -j"$jobs" --output-on-failure
