#!/usr/bin/env bash
# Compares a full snapshot with the I/O floor of one call, interleaved in one
# run (floor, ours, floor, ours, ...), at an idle host and under load.
#
#   bench/floor_compare.sh BUILD_DIR [ROUNDS] [ITERATIONS]
#
# Under load each side runs ITERATIONS/5 calls per round (at least 5;
# LOAD_ITERATIONS overrides), as one call then takes some 20 times longer.
# BUILD_DIR holds bench/snapshot_bench (configure with -DPELLUN_BUILD_BENCH=ON).
# The yardsticks (floor.c, load.c) are built into BUILD_DIR from
# $YARDSTICKS (default /work/shared/yardsticks). Prints each round's medians
# and the ratio of the medians of all rounds, ours / floor.
set -euo pipefail

build=${1:?usage: floor_compare.sh BUILD_DIR [ROUNDS] [ITERATIONS]}
rounds=${2:-7}
iters=${3:-100}
yard=${YARDSTICKS:-/work/shared/yardsticks}
bench=$build/bench/snapshot_bench
[[ -x $bench ]] || { echo "no $bench; build the snapshot_bench target" >&2; exit 1; }

cc -O2 -o "$build/yard-floor" "$yard/floor.c"
cc -O2 -pthread -o "$build/yard-load" "$yard/load.c"

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

# The ratio of the medians of all rounds, from the caller's floor_all and
# ours_all.
summarise() {
    local fm om
    fm=$(printf '%s\n' "${floor_all[@]}" | median)
    om=$(printf '%s\n' "${ours_all[@]}" | median)
    printf '%s: floor median %.1f us, ours median %.1f us, ratio %.3f\n' \
        "$1" "$fm" "$om" "$(awk -v a="$om" -v b="$fm" 'BEGIN {print a / b}')"
}

compare() {
    local label=$1 floor_all=() ours_all=()
    for ((r = 1; r <= rounds; r++)); do
        local f o
        f=$("$build/yard-floor" "$iters" | sed -n 's/.*median \([0-9.]*\) us.*/\1/p')
        o=$("$bench" "$iters" | sed -n 's/.*median \([0-9.]*\) us.*/\1/p')
        floor_all+=("$f"); ours_all+=("$o")
        printf '  %s round %d: floor %8.1f us  ours %8.1f us\n' "$label" "$r" "$f" "$o"
    done
    summarise "$label"
}

compare idle

# The load holds for 120 s at most, so each loaded round starts its own and
# waits for its "ready" before timing.
load_pid=
stop_load() {
    if [[ -n $load_pid ]]; then
        kill "$load_pid" 2>/dev/null || true
        wait "$load_pid" 2>/dev/null || true
        load_pid=
    fi
}
trap stop_load EXIT
start_load() {
    local fifo
    fifo=$(mktemp -u) && mkfifo "$fifo"
    "$build/yard-load" 200 9 >"$fifo" &
    load_pid=$!
    read -r _ <"$fifo"  # "ready"
    rm -f "$fifo"
}
rounds_loaded() {
    local label="load 200 9" floor_all=() ours_all=()
    for ((r = 1; r <= rounds; r++)); do
        start_load
        local f o
        f=$("$build/yard-floor" "$load_iters" | sed -n 's/.*median \([0-9.]*\) us.*/\1/p')
        o=$("$bench" "$load_iters" | sed -n 's/.*median \([0-9.]*\) us.*/\1/p')
        stop_load
        floor_all+=("$f"); ours_all+=("$o")
        printf '  %s round %d: floor %8.1f us  ours %8.1f us\n' "$label" "$r" "$f" "$o"
    done
    summarise "$label"
}
load_iters=${LOAD_ITERATIONS:-$(( iters / 5 > 5 ? iters / 5 : 5 ))}
rounds_loaded
