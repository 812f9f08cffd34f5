#!/bin/bash
# (h, k, l) analyses benchmark: builds bench_hkl in BUILD_DIR (a Release build)
# and runs it; output files go to ZBENCH_DIR (default /tmp) and are removed.
#
# Usage: bench/run_hkl_bench.sh [BUILD_DIR]     (default: build)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
dir=${ZBENCH_DIR:-/tmp}

[ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target bench_hkl >/dev/null
"$build/bench_hkl" "$dir" >/dev/null
rm -f "$dir/bench_hkl.map" "$dir/bench_hkl_yardstick.txt" "$dir/bench_pks.pks"
