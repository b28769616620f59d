#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test; then builds
# again with clang under AddressSanitizer and UndefinedBehaviorSanitizer, runs every test
# there too, runs each fuzz target for a minute, and installs, uses and purges the Debian packages.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
jobs="$(nproc)"
fuzz_seconds="${TESSARO_FUZZ_SECONDS:-60}"

"$here/scripts/deps.sh"

echo "== clang-format"
files=$(cd "$here" && git ls-files '*.cpp' '*.h' 2>/dev/null || true)
if [ -n "$files" ]; then
    (cd "$here" && clang-format --dry-run --Werror $files)
fi

echo "== layers"
"$here/scripts/check-layers.sh"

echo "== g++ build, warnings as errors"
cmake -S "$here" -B "$here/build/ci" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
    -DTESSARO_WERROR=ON -DTESSARO_BUILD_BENCH=ON >/dev/null
cmake --build "$here/build/ci" -j "$jobs"
(cd "$here/build/ci" && ctest --output-on-failure -j 1)

echo "== clang build with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S "$here" -B "$here/build/asan" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DTESSARO_WERROR=ON -DTESSARO_SANITIZE=ON -DTESSARO_BUILD_FUZZ=ON >/dev/null
cmake --build "$here/build/asan" -j "$jobs"
(cd "$here/build/asan" && ctest --output-on-failure -j 1)

echo "== fuzzing, ${fuzz_seconds}s per target"
if [ -d "$here/build/asan/fuzz" ]; then
    while IFS= read -r target; do
        [ -n "$target" ] || continue
        echo "-- $(basename "$target")"
        corpus="$(mktemp -d)"
        name="$(basename "$target")"
        seeds="$here/fuzz/${name#fuzz_}/corpus"
        [ -d "$seeds" ] && cp -r "$seeds/." "$corpus/"
        ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
            "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$corpus" 2>&1 | tail -n 5
        rm -rf "$corpus"
    done < <(find "$here/build/asan/fuzz" -type f -executable -name 'fuzz_*' | sort)
fi
echo "== Debian packages: built, installed, used through the launcher, purged"
"$here/tests/package/check-installed.sh" "$here/build/ci"
echo "== all tests passed"
