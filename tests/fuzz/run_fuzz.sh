#!/bin/sh
# Runs every fuzz target of a build for a bounded time each, starting from the
# seed corpus. Fails on the first crash, leak, timeout (one input over 2 s) or
# out-of-memory (over 1 GB). Usage: run_fuzz.sh <build-dir> [seconds per target]
set -eu
build=$(cd "$1" && pwd)
seconds=${2:-30}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zandor-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
for target in "$build"/tests/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    seeds="$here/corpus/${name#fuzz_}"
    mkdir -p "$work/$name"
    [ -d "$seeds" ] && cp -r "$seeds/." "$work/$name/"
    echo "== $name ($seconds s)"
    (cd "$work" && "$target" -max_total_time="$seconds" -timeout=2 -rss_limit_mb=1024 \
        -close_fd_mask=3 -print_final_stats=1 "$work/$name" 2>"$work/$name.log") || {
        tail -n 60 "$work/$name.log"
        echo "fuzz target $name failed"
        exit 1
    }
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)|cov:' "$work/$name.log" | tail -n 3
done
