#!/usr/bin/env bash
# Sets up, builds the benchmarks in release mode and runs each of them;
# arguments go to every benchmark (e.g. --benchmark_filter=...).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" build bench
build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEMBREL_TESTS=OFF -DZEMBREL_BENCH=ON
cmake --build "$build"
for src in "$root"/bench/*.cpp; do
    name="$(basename "$src" .cpp)"
    echo "== $name"
    "$build/$name" "$@"
done
