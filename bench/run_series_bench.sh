#!/bin/bash
# One file per frame against one file of many frames: runs zandor on 100
# single-frame files of 2048 x 2048 (frame_0001.kvf,A100) and on the same
# frames in one 100-frame file, alternately, and prints the median wall-clock
# and processor times of each and their ratio. Both runs must end on the same
# statistics line.
#
# Usage: bench/run_series_bench.sh BUILD_DIR     (make bench builds zandor first)
# Environment: ZBENCH_DIR    where the data are generated (default /tmp/zbench)
#              ZBENCH_SHARED folder of gen_data.py (default ../shared/bench)
#              ZBENCH_REPS   repetitions of each run (default 5)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
data=${ZBENCH_DIR:-/tmp/zbench}
shared=${ZBENCH_SHARED:-$root/../shared/bench}
reps=${ZBENCH_REPS:-5}
py=/usr/bin/python3
series=$data/series100.kvf
files=$data/frames100
zandor=$build/zandor

[ -x "$zandor" ] || { echo "run_series_bench: $zandor not built" >&2; exit 2; }
case $data in "$root"/*) echo "run_series_bench: keep the generated data out of the repository" >&2; exit 2 ;; esac
if [ ! -f "$series" ]; then
    [ -f "$shared/gen_data.py" ] || { echo "run_series_bench: $shared/gen_data.py not found (set ZBENCH_SHARED)" >&2; exit 2; }
    echo "== generating the series in $data"
    "$py" "$shared/gen_data.py" "$data" 100
fi
if [ ! -f "$files/frame_0100.kvf" ]; then
    echo "== splitting the series into single-frame files in $files"
    "$py" "$root/bench/split_series.py" "$series" "$files"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat "$series" "$files"/frame_*.kvf > /dev/null # from the page cache from now on

# One timed run: wall-clock seconds and processor seconds (user + system).
timed() {
    local label=$1
    shift
    local t0 t1
    t0=$(date +%s%N)
    (cd "$work" && /usr/bin/time -f "%U %S" -o "$work/cpu" "$zandor" "$@" > "$work/$label.out")
    t1=$(date +%s%N)
    echo "$(( t1 - t0 ))" >> "$work/$label.wall"
    awk '{ printf "%.3f\n", $1 + $2 }' "$work/cpu" >> "$work/$label.cpu"
}

echo "== zandor, 100 single-frame files against one 100-frame file ($reps runs each, alternated)"
for _ in $(seq "$reps"); do
    timed files "$files/frame_0001.kvf,A100"
    timed series "$series"
done

median() { sort -n "$1" | awk -v scale="$2" '{ v[NR] = $1 } END { printf "%.3f", v[int((NR + 1) / 2)] / scale }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
files_wall=$(median "$work/files.wall" 1e9)
series_wall=$(median "$work/series.wall" 1e9)
files_cpu=$(median "$work/files.cpu" 1)
series_cpu=$(median "$work/series.cpu" 1)

# The last statistics line of each run, without the image name.
last_info() { grep ' frame(s), mean ' "$1" | tail -1 | sed 's/^# [^ ]* : //'; }
same=no
if [ "$(last_info "$work/files.out")" = "$(last_info "$work/series.out")" ]; then same=yes; fi

printf '%-32s %8s s wall  %8s s processor\n' "100 single-frame files" "$files_wall" "$files_cpu"
printf '%-32s %8s s wall  %8s s processor\n' "one 100-frame file" "$series_wall" "$series_cpu"
echo "files / series: $(ratio "$files_wall" "$series_wall") x wall, $(ratio "$files_cpu" "$series_cpu") x processor (target at most 1.5)"
echo "same final statistics line: $same"
