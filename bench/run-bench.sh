#!/usr/bin/env bash
# Benchmarks, run by hand (never as tests). Builds what it runs, then:
#   1. vpack z / vpack unz against compress / uncompress on the same inputs (a text corpus and
#      incompressible bytes, 16 MB each): RUNS rounds, ours and the reference in turn, and per row
#      the min/median/max of the ratio vpack / reference over the rounds; the median is judged
#      against the goal (at most 1.0 for packing, 0.9 for unpacking); then the same rows for the
#      library's coders built for the host (bench/native), checked to write the same bytes, which
#      tells the code's own speed apart from an i386 emulator's;
#   2. the further benchmark programs listed below, each printing its own figures (after
#      huffman_bench, the host build's Huffman rates);
#   3. mkdisk rehearse on the demonstration disk and on a 200-file disk (rehearse_bench.sh): cost
#      per cut point and the speed-up with one worker per core;
#   4. the disk pipeline (pipeline_bench.sh): mkdisk build on every core, COPY of 64 MiB, a whole
#      disk through tolvanex.
#
# Usage: bench/run-bench.sh
# Environment: BUILD_DIR (default build), JOBS (build jobs, default all cores), RUNS (default 5,
#              at least 5), BENCH_BYTES (input size, default 16000000).
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
[[ $build == /* ]] || build=$PWD/$build
jobs=${JOBS:-$(nproc)}
runs=${RUNS:-5}
((runs >= 5)) || runs=5
bytes=${BENCH_BYTES:-16000000}
pack_goal=1.0
unpack_goal=0.9

# The benchmark programs in bench/ that are run after the .Z table, in this order. Each is
# built as a target of that name and run from $build/bin with no arguments; a program that is
# not there (not written yet, or failing to build) is reported and skipped.
further_benchmarks=(exec_memory_bench huffman_bench key_tree_bench card_poll_bench tick_rate_bench)

for tool in compress uncompress; do
    command -v "$tool" >/dev/null || { echo "run-bench: $tool is missing (Debian: ncompress)" >&2; exit 1; }
done

# --- build ---
[[ -f $build/CMakeCache.txt ]] || cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
echo "Building vpack in $build ..."
cmake --build "$build" -j"$jobs" --target vpack >/dev/null
built_further=()
for program in "${further_benchmarks[@]}"; do
    if cmake --build "$build" -j"$jobs" --target "$program" >/dev/null 2>&1; then
        built_further+=("$program")
    fi
done
vpack=$build/bin/vpack

# --- inputs ---
work=$(mktemp -d "${TMPDIR:-/tmp}/vpack-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Text: the licence texts and C headers of a Debian machine, in name order, repeated up to size.
{
    find /usr/share/common-licenses -type f
    find /usr/include -type f -name '*.h'
} 2>/dev/null | sort | xargs -d '\n' cat 2>/dev/null | head -c "$bytes" >"$work/seed" || true
[[ -s $work/seed ]] || { echo "run-bench: found no text to build a corpus from" >&2; exit 1; }
: >"$work/text"
while (($(stat -c %s "$work/text") < bytes)); do cat "$work/seed" >>"$work/text"; done
truncate -s "$bytes" "$work/text"
# Incompressible: pseudo-random bytes from a fixed seed (perl's generator is its own, so the
# bytes are the same on every machine).
perl -e 'srand(20240601); my $n = shift; while ($n > 0) { my $k = $n < 65536 ? $n : 65536;
    print pack("C*", map { int(rand(256)) } 1 .. $k); $n -= $k }' "$bytes" >"$work/random"

# --- the .Z comparison ---
ours_pack() { "$vpack" z -f "$1" -o "$work/out.ours.Z" >/dev/null; }
# compress says 2 when the output is not smaller (random bytes); it still writes it.
ref_pack() { compress -c <"$1" >"$work/out.ref.Z" || (($? == 2)); }
ours_unpack() { "$vpack" unz -f "$1" -o "$work/out.ours" >/dev/null; }
ref_unpack() { uncompress -c <"$1" >"$work/out.ref"; }
# The same coders built for the host (bench/native): the code itself, without the i386 emulator
# that runs vpack on a machine that cannot run i386 programs natively.
coders=$work/coders
c++ -std=c++20 -O2 -I"$root/bench/native" -I"$root/exec" -o "$coders" "$root/bench/native/coders.cpp" \
    "$root/exec/data/huffman.cpp"
host_pack() { "$coders" z "$1" "$work/out.host.Z"; }
host_unpack() { "$coders" unz "$1" "$work/out.host"; }

# seconds FUNCTION ARG: the wall time of one run.
seconds() {
    local start=$EPOCHREALTIME
    "$@"
    local end=$EPOCHREALTIME
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }'
}

rows=()
host_rows=()
over=0
# compare LABEL GOAL OURS REF INPUT: $runs rounds, each ours then the reference, so that both see
# the same machine load; the ratio of each round, min/median/max, the median against GOAL.
compare() {
    local label=$1 goal=$2 ours=$3 ref=$4 input=$5 ratios=() i
    "$ours" "$input" && "$ref" "$input" # warm the page cache
    for ((i = 0; i < runs; i++)); do
        local a b
        a=$(seconds "$ours" "$input")
        b=$(seconds "$ref" "$input")
        ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }')")
    done
    local sorted min median max
    sorted=$(printf '%s\n' "${ratios[@]}" | sort -g)
    min=$(head -n 1 <<<"$sorted")
    max=$(tail -n 1 <<<"$sorted")
    median=$(sed -n "$((runs / 2 + 1))p" <<<"$sorted")
    local verdict=ok
    if awk -v r="$median" -v l="$goal" 'BEGIN { exit !(r > l) }'; then
        verdict=OVER
        over=$((over + 1))
    fi
    rows+=("$(printf '%-20s %7.2f %7.2f %7.2f %6s  %s' "$label" "$min" "$median" "$max" "<= $goal" "$verdict")")
}

mb() { awk -v n="$1" 'BEGIN { printf "%.1f MB", n / 1e6 }'; }
for kind in text random; do
    input=$work/$kind
    # Both unpack the same file: the one compress makes.
    compress -c <"$input" >"$input.Z" || (($? == 2))
    # Check before timing: each side reads what the other writes.
    ours_pack "$input"
    uncompress -c <"$work/out.ours.Z" | cmp -s - "$input" || { echo "run-bench: uncompress does not give back vpack's $kind .Z" >&2; exit 1; }
    ours_unpack "$input.Z"
    cmp -s "$work/out.ours" "$input" || { echo "run-bench: vpack unz does not give back compress's $kind .Z" >&2; exit 1; }
    echo "Timing $kind ($(mb "$(stat -c %s "$input")"); .Z from compress $(mb "$(stat -c %s "$input.Z")"), from vpack $(mb "$(stat -c %s "$work/out.ours.Z")")) ..."
    host_pack "$input" && cmp -s "$work/out.host.Z" "$work/out.ours.Z" || { echo "run-bench: the host build packs $kind otherwise than vpack" >&2; exit 1; }
    host_unpack "$input.Z" && cmp -s "$work/out.host" "$input" || { echo "run-bench: the host build does not unpack $kind" >&2; exit 1; }
    compare "pack .Z, $kind" "$pack_goal" ours_pack ref_pack "$input"
    compare "unpack .Z, $kind" "$unpack_goal" ours_unpack ref_unpack "$input.Z"
    host_rows+=("pack .Z, $kind" "$pack_goal" host_pack ref_pack "$input")
    host_rows+=("unpack .Z, $kind" "$unpack_goal" host_unpack ref_unpack "$input.Z")
done
vpack_rows=("${rows[@]}")
rows=()
for ((i = 0; i < ${#host_rows[@]}; i += 5)); do compare "${host_rows[@]:i:5}"; done

echo
echo "vpack z / unz against compress / uncompress: wall-time ratio vpack / reference over $runs"
echo "alternating rounds (load: $(cut -d ' ' -f 1-3 /proc/loadavg)):"
printf '%-20s %7s %7s %7s %6s\n' "benchmark" "min" "median" "max" "goal"
printf '%s\n' "${vpack_rows[@]}"
echo "the same coders built for the host (bench/native), same streams, against the same:"
printf '%s\n' "${rows[@]}"
if ((over > 0)); then
    echo "$over of $((${#vpack_rows[@]} + ${#rows[@]})) over their goal (median)"
else
    echo "all within their goals (median)"
fi

# --- further benchmark programs ---------------------------------------------------------------
# Each program of further_benchmarks (top of this file) runs here, in its own section.
for program in "${further_benchmarks[@]}"; do
    echo
    echo "== $program"
    if [[ " ${built_further[*]} " != *" $program "* || ! -x $build/bin/$program ]]; then
        echo "(not built: no such target yet, or it does not build)"
        continue
    fi
    "$build/bin/$program" || echo "($program failed with status $?)"
    if [[ $program == huffman_bench ]]; then
        echo "the same coder built for the host (bench/native), on the text corpus, MB/s min/median/max:"
        "$coders" huffman "$work/text" || echo "(failed with status $?)"
    fi
done

# --- power-cut rehearsal ------------------------------------------------------------------------
echo
echo "== rehearse_bench.sh"
BUILD_DIR=$build bash "$root/bench/rehearse_bench.sh" || echo "(rehearse_bench.sh failed with status $?)"

# --- the disk pipeline ------------------------------------------------------------------------
echo
echo "== pipeline_bench.sh"
BUILD_DIR=$build bash "$root/bench/pipeline_bench.sh" || echo "(pipeline_bench.sh failed with status $?)"
