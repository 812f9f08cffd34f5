#!/bin/sh
# THREADS = 1 against THREADS = 2 (or the counts given in THREADS_LIST) in one
# run, alternated: the HDF5 bitshuffle+LZ4 stack, the CBF series and the
# native 16-bit stack of bench_detectors (generated first in ZBENCH_DIR), then
# the grid correction, %R, %H and the powder profile %Q of the summed stack,
# and the statistics mode on the native stack. Prints the median wall
# time of each step at each count, and the load of the machine. Beside them,
# "2 copies": two single-threaded runs of the step started together, each in
# its own directory: the most two threads of this machine can give, whatever
# the program (their ceiling is 2 x THREADS 1 / 2 copies; below 2 where the
# processors share caches, memory or execution units).
# Usage: run_threads_bench.sh BUILD_DIR [frames] [side] [runs]
set -eu
build=${1:-build}
frames=${2:-50}
side=${3:-2048}
runs=${4:-5}
dir=${ZBENCH_DIR:-/tmp/zbench_detectors}
export ZBENCH_DIR="$dir"
# bench_detectors writes the files first (its own timing is not needed here).
"$build/bench_detectors" "$frames" "$side" 1 >/dev/null 2>&1 || test -s "$dir/stack16.h5"
zandor=$(cd "$build" && pwd)/zandor
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/copy"
cd "$work"
cat >zandor.ini <<INI
PRINT = 0
GRID_DCOR = 10
GRID_XCOR = 12 1.01 0.002 1e-5 -2e-5 1e-5 1e-9 -2e-9 1e-9 3e-10
GRID_YCOR = 9 0.003 0.99 -1e-5 2e-5 1e-5 2e-9 1e-9 -1e-9 1e-10
N_SECTOR = 8
A_SECTOR = -22.5
MAT_UB = 0.21 -0.04 0.03 0.05 0.18 -0.02 -0.06 0.02 0.24
DISTANCE = 200
PIXEL_SIZE = 0.075
BEAM_CENTER = 1010.5 1040.5
SOLID_ANGLE = 1
POLARIZATION = 0.95
POWDER_PLOT = 0
INI
"$zandor" "$dir/stack16.kvf" %Xbase.kvf >/dev/null
# The statistics mode is the program under the name zandor_stat.
ln -s "$zandor" zandor_stat
cp zandor.ini zandor_stat.ini
for f in zandor.ini zandor_stat.ini zandor_stat base.kvf; do ln -s "$work/$f" "copy/$f"; done
seconds() { # wall seconds of one run of program $3
    start=$(date +%s.%N)
    ZANDOR_THREADS=$1 "$3" $2 >/dev/null 2>&1
    end=$(date +%s.%N)
    echo "$end - $start" | bc
}
copies_seconds() { # wall seconds of two single-threaded runs started together
    start=$(date +%s.%N)
    (cd copy && ZANDOR_THREADS=1 "$2" $1 >/dev/null 2>&1) &
    ZANDOR_THREADS=1 "$2" $1 >/dev/null 2>&1
    wait
    end=$(date +%s.%N)
    echo "$end - $start" | bc
}
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
steps="hdf5:$dir/stack16.h5 cbf:$dir/cbf_00001.cbf,A$frames native16:$dir/stack16.kvf load:base.kvf grid:base.kvf,%G radial:base.kvf,%R map:base.kvf,%H powder:base.kvf,%Q stat:$dir/stack16.kvf"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for step in $steps; do
    name=${step%%:*}
    words=$(echo "${step#*:}" | tr ',' ' ' | sed 's/ A/,A/')
    for t in ${THREADS_LIST:-1 2} copies; do : >"times_${name}_$t"; done
    i=0
    while [ $i -lt "$runs" ]; do
        program=$zandor
        [ "$name" = stat ] && program=./zandor_stat
        for t in ${THREADS_LIST:-1 2}; do seconds "$t" "$words" "$program" >>"times_${name}_$t"; done
        copies_seconds "$words" "$program" >>"times_${name}_copies"
        i=$((i + 1))
    done
    line="$name"
    for t in ${THREADS_LIST:-1 2}; do line="$line  T$t $(median <"times_${name}_$t")s"; done
    line="$line  2 copies $(median <"times_${name}_copies")s"
    echo "$line"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
