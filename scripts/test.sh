#!/usr/bin/env bash
# Installs what is missing, builds (warnings as errors) and runs every test: the regular build, then the
# same suite under AddressSanitizer and UndefinedBehaviorSanitizer (built with clang),
# then each fuzzer for FUZZ_SECONDS seconds (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
fuzz_seconds=${FUZZ_SECONDS:-60}

scripts/setup.sh

echo "== Build und Tests"
scripts/build.sh build -DVEXAL_WERROR=ON
ctest --test-dir build --output-on-failure -j 2

echo "== Tests unter AddressSanitizer und UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DCMAKE_CXX_COMPILER=clang++ -DVEXAL_WERROR=ON -DVEXAL_SANITIZE=ON -DVEXAL_FUZZ=ON \
    -DVEXAL_BENCH=OFF -DVEXAL_APP=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    LSAN_OPTIONS=suppressions="$root/scripts/lsan-suppressions.txt" \
    ctest --test-dir build-asan --output-on-failure -j 2

echo "== Fuzzing, je ${fuzz_seconds} s"
for fuzzer in build-asan/tests/fuzz/fuzz_*; do
    name=$(basename "$fuzzer")
    corpus="build-asan/fuzz-corpus/$name"
    mkdir -p "$corpus"
    inputs=("$corpus")
    if [ -d "$root/tests/fuzz/seeds/$name" ]; then
        inputs+=("$root/tests/fuzz/seeds/$name")
    fi
    "$fuzzer" -max_total_time="$fuzz_seconds" -max_len=2100 -print_final_stats=1 \
        -artifact_prefix="build-asan/" "${inputs[@]}" 2>&1 | tail -n 12
done

echo "== Alle Tests bestanden"
