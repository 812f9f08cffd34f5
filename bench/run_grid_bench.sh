#!/bin/bash
# Grid correction benchmark: builds bench_grid in BUILD_DIR (a Release build)
# and runs it ZBENCH_REPS times (default 3). Each run resamples a 2048 x 2048
# image with a complete cubic model and prints the processor time per pixel
# beside the Horner yardsticks measured in the same run; the run with the
# fastest grid_cor_img is shown last.
#
# Usage: bench/run_grid_bench.sh [BUILD_DIR]     (default: build)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
reps=${ZBENCH_REPS:-3}

[ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target bench_grid >/dev/null

best=""
best_ns=""
for ((i = 1; i <= reps; i++)); do
    report=$("$build/bench_grid" 2>&1 >/dev/null)
    ns=$(printf '%s\n' "$report" | awk '/grid_cor_img  / {print $3}')
    if [ -z "$best_ns" ] || awk -v a="$ns" -v b="$best_ns" 'BEGIN {exit !(a < b)}'; then
        best=$report
        best_ns=$ns
    fi
    echo "run $i: grid_cor_img $ns ns/pixel"
done
printf '%s\n' "$best"
