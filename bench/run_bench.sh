#!/bin/bash
# Summation benchmark: sums a native series of 100 frames of 2048 x 2048
# unsigned 16-bit pixels (a) plainly and (b) with the cosmic arrays and the
# time-series test, and sets the times beside two yardsticks measured in the
# same run: reading the file (cat FILE > /dev/null) and the numpy script that
# computes the same sums, counts, sums of squares, maxima and their frames.
# When bench_stat is built, the statistics mode (the summation followed by the
# variance fit) is timed beside the summation with the cosmic arrays.
#
# Usage: bench/run_bench.sh BUILD_DIR     (make bench builds bench_sum first)
# Environment: ZBENCH_DIR    where the data are generated (default /tmp/zbench)
#              ZBENCH_SHARED folder of gen_data.py and np_sum.py (default ../shared/bench)
#              ZBENCH_REPS   repetitions of each measurement (default 5; numpy 3)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
data=${ZBENCH_DIR:-/tmp/zbench}
shared=${ZBENCH_SHARED:-$root/../shared/bench}
reps=${ZBENCH_REPS:-5}
py=/usr/bin/python3
series=$data/series100.kvf
bench=$build/bench_sum

[ -x "$bench" ] || { echo "run_bench: $bench not built (make bench builds it)" >&2; exit 2; }
for script in gen_data.py np_sum.py; do
    [ -f "$shared/$script" ] || { echo "run_bench: $shared/$script not found (set ZBENCH_SHARED)" >&2; exit 2; }
done
case $data in "$root"/*) echo "run_bench: keep the generated data out of the repository" >&2; exit 2 ;; esac

if [ ! -f "$series" ]; then
    echo "== generating the data in $data"
    "$py" "$shared/gen_data.py" "$data" 100
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Every measurement reads the file from the page cache.
cat "$series" > /dev/null

echo "== yardstick: cat $series > /dev/null ($reps runs)"
: > "$work/cat"
for _ in $(seq "$reps"); do
    t0=$(date +%s%N)
    cat "$series" > /dev/null
    t1=$(date +%s%N)
    echo "$(( t1 - t0 ))" >> "$work/cat"
done
cat_s=$(sort -n "$work/cat" | awk '{ v[NR] = $1 } END { printf "%.4f", v[int((NR + 1) / 2)] / 1e9 }')
echo "median ${cat_s} s"

for mode in plain cosmic; do
    echo "== zandor summation, $mode"
    "$bench" "$series" "$mode" "$reps" | tee "$work/$mode"
done

echo "== yardstick: numpy ($shared/np_sum.py, frameloop, 3 runs)"
"$py" -c '
import resource, runpy, sys
sys.argv = sys.argv[1:]
runpy.run_path(sys.argv[0], run_name="__main__")
print("np_peak_rss_mib=%.1f" % (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0))
' "$shared/np_sum.py" "$series" frameloop 3 | tee "$work/numpy"

field() { tr ' ' '\n' < "$1" | grep "^$2=" | tail -1 | cut -d= -f2; }
pf=$(awk -v f="$(field "$work/cosmic" frames)" -v p="$(field "$work/cosmic" pixels)" 'BEGIN { print f * p }')
cat_ns=$(awk -v s="$cat_s" -v pf="$pf" 'BEGIN { printf "%.3f", s / pf * 1e9 }')
plain_ns=$(field "$work/plain" ns_per_pixel_frame)
cosmic_ns=$(field "$work/cosmic" ns_per_pixel_frame)
numpy_ns=$(field "$work/numpy" ns_per_pixel_frame)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

checks_agree=no
if [ "$(grep '^checksum' "$work/cosmic")" = "$(grep '^checksum' "$work/numpy")" ]; then checks_agree=yes; fi

echo
echo "== summary (median wall-clock times, ns per pixel-frame; $pf pixel-frames)"
printf '%-34s %8s ns  peak %s MiB\n' "read the file (cat)" "$cat_ns" "-"
printf '%-34s %8s ns  peak %s MiB  (processor %s ns)\n' "zandor, plain" "$plain_ns" \
    "$(field "$work/plain" peak_rss_mib)" "$(field "$work/plain" cpu_ns_per_pixel_frame)"
printf '%-34s %8s ns  peak %s MiB  (processor %s ns)\n' "zandor, cosmic arrays + xy_tcosmic" "$cosmic_ns" \
    "$(field "$work/cosmic" peak_rss_mib)" "$(field "$work/cosmic" cpu_ns_per_pixel_frame)"
printf '%-34s %8s ns  peak %s MiB\n' "numpy frameloop" "$numpy_ns" "$(field "$work/numpy" np_peak_rss_mib)"
echo "numpy / zandor plain:   $(ratio "$numpy_ns" "$plain_ns") x   (target at least 6)"
echo "numpy / zandor cosmic:  $(ratio "$numpy_ns" "$cosmic_ns") x   (target at least 4)"
echo "zandor cosmic / cat:    $(ratio "$cosmic_ns" "$cat_ns") x   (target at most 5)"
echo "sums, counts, squares, maxima and frames identical to numpy's: $checks_agree"

if [ -x "$build/bench_stat" ]; then
    echo
    echo "== statistics mode: summation with cosmic arrays beside the same summation and the variance fit ($reps runs each, alternated)"
    (cd "$work" && "$build/bench_stat" "$series" "$reps") | grep -E '^(rep|bench_stat)' | tee "$work/stat"
    echo "zandor statistics / summation with cosmic arrays: $(field "$work/stat" ratio) x wall-clock," \
        "$(ratio "$(field "$work/stat" stat_cpu_s)" "$(field "$work/stat" sum_cosmic_cpu_s)") x processor (target below 2)"
fi
