#!/bin/sh
# Builds and runs the benchmarks (Google Benchmark), then every benchmark
# script under scripts/bench_*.sh. Loopback only, bounded in time.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
cmake --build build --target benchmarks -j "$(nproc)"
for b in build/tests/bench/bench_*; do
    [ -x "$b" ] || continue
    echo "== $b"
    "$b" --benchmark_min_time=0.2
done
for s in scripts/bench_*.sh; do
    [ -x "$s" ] || continue
    echo "== $s"
    "$s"
done
