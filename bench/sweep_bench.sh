#!/usr/bin/env bash
# Whole sweeps of the built program on the simulated instrument (busyreads=1: a
# conversion busy for one status read),
# standard output to /dev/null: time per point, points per second and peak
# memory, medians of several runs; then the low-band delays of a traced sweep.
#
#   bench/sweep_bench.sh [path/to/talvik]
#
# A short sweep costs little next to starting the process, so its cost per
# point is the median of PAIRS differences between a run of it and a run that
# measures nothing, taken back to back (301 pairs by default). Long sweeps are
# timed RUNS times (3 by default), less the median start-up.
set -euo pipefail
bin=$(realpath "${1:-build/talvik}")
runs=${RUNS:-3}
pairs=${PAIRS:-301}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
export TALVIK_PORT=sim:busyreads=1
unset TALVIK_TRACE
export TALVIK_CAL=

median() { sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# Runs one sweep $runs times; sets secs (median wall time), kib (median peak
# RSS) and points.
measure() {
    local times=() rss=() start end
    for ((i = 0; i < runs; i++)); do
        start=$(date +%s%N)
        /usr/bin/time -f %M -o rss.txt "$bin" r.txt "$@" >/dev/null
        end=$(date +%s%N)
        times+=("$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.6f", (b - a) / 1e9}')")
        rss+=("$(tail -n 1 rss.txt)")
    done
    secs=$(printf '%s\n' "${times[@]}" | median)
    kib=$(printf '%s\n' "${rss[@]}" | median)
    points=$(($(wc -l < r.txt) - 1))
}

echo "machine: $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)"
echo "medians of $runs runs per long sweep, of $pairs paired runs for the default sweep"
printf '%-34s %9s %10s %10s %12s %9s\n' sweep points seconds us/point points/s "peak KiB"

measure 1000000 1000000
base=$secs
printf '%-34s %9d %10.4f %10s %12s %9d\n' "none (start = end): start-up" "$points" "$secs" - - "$kib"

report() {
    local name=$1
    shift
    measure "$@"
    awk -v n="$name" -v p="$points" -v s="$secs" -v b="$base" -v k="$kib" 'BEGIN {
        us = (s - b) * 1e6 / p
        printf "%-34s %9d %10.4f %10.3f %12.0f %9d\n", n, p, s, us, 1e6 / us, k }'
}
# The default sweep: paired differences against runs that measure nothing.
for ((i = 0; i < pairs; i++)); do
    start=$(date +%s%N)
    "$bin" r.txt 1000000 1000000 >/dev/null
    middle=$(date +%s%N)
    "$bin" r.txt >/dev/null
    end=$(date +%s%N)
    echo $(((end - middle) - (middle - start)))
done | median > diff.txt
measure 1000000 10000000 20
awk -v n="default (1-10 MHz, /20)" -v p="$points" -v s="$secs" -v d="$(cat diff.txt)" -v k="$kib" 'BEGIN {
    us = d / 1000 / p
    printf "%-34s %9d %10.4f %10.3f %12.0f %9d\n", n, p, s, us, 1e6 / us, k }'
report "1000000 10000000 434294" 1000000 10000000 434294

# Low-band delays: from the end of each update pulse to the next exchange.
TALVIK_TRACE=trace.txt "$bin" r.txt 100 62500 20 >/dev/null
awk '
    FNR == NR { if (FNR > 1) { hz[++points] = $1 + 0 } next }
    $2 == "W" && $3 == "F4" { pulse = 1; next }
    $2 == "W" && $3 == "F0" && pulse { updated = $1; pulse = 0; next }
    $2 == "W" && $3 == "AF" && updated { wait[++k] = ($1 - updated) / 1000; updated = 0 }
    { pulse = 0 }
    END {
        tw = 42.94967269897461
        for (i = 1; i <= k; i++) {
            word = int(hz[i] * tw + 0.5)
            n = int(5000 * tw / word)
            d = wait[i] - n
            if (i == 1 || d < lo) lo = d
            if (i == 1 || d > hi) hi = d
            if (!(wait[i] > n - 1 && wait[i] <= n + 1)) bad++
        }
        printf "low-band delays (100 Hz to 62.5 kHz): %d points, measured minus asked %.3f to %.3f ms, %d outside (n-1, n+1]\n", k, lo, hi, bad + 0
    }' r.txt trace.txt
