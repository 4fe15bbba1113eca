#!/usr/bin/env bash
# mkdisk rehearse on two disks, with one worker and with one per core:
#   - the demonstration disk (examples/demo, made as scripts/demo-disk.sh makes it), the power
#     cut after every step; the goal is the whole rehearsal in under 30 s on 2 cores;
#   - a disk of 200 files, 50 MB in all, half of them packed, installed by the good disk's
#     pattern (examples/power-cut-good), the power cut after every EVERY-th step only: its steps
#     run to thousands (each buffer of a file written is one).
# Prints the cut points, the wall time, the cost of one cut point (a run cut short, then a whole
# run on the booted desk) and the speed-up.
#
# Usage: bench/rehearse_bench.sh     Environment: BUILD_DIR (default build), EVERY (default: a
#        step count that gives about 16 cut points on the big disk)
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
[[ $build == /* ]] || build=$PWD/$build
goal_s=30

[[ -f $build/CMakeCache.txt ]] || cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target tolvanex desksim mkdisk >/dev/null
bin=$build/bin

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -R "$root/examples/demo" "$work/source"
mkdir -p "$work/source/CARD"
"$bin/mkdisk" cardimage write "$root/examples/card/pcif.txt" -o "$work/source/CARD/PCIF.IMG"
"$bin/mkdisk" build "$work/source" "$work/disk" --pack '*.EXE' --pack '*.CFG' --pack '*.DLL' \
    >/dev/null
"$bin/desksim" new "$work/desk" >/dev/null
head -c $((128 * 1024)) /dev/zero | tr '\0' '\245' >"$work/desk/nvr.bin"

# rehearse DISK JOBS [OPTION...]: the wall seconds; the report goes to $work/report-JOBS.txt.
rehearse() {
    local disk=$1 jobs=$2 start end
    shift 2
    start=$(date +%s.%N)
    "$bin/mkdisk" rehearse "$disk" --desk "$work/desk" --answers y --jobs "$jobs" "$@" \
        >"$work/report-$jobs.txt" || (($? == 1)) # cut points that differ are findings, not errors
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }'
}

cores=$(nproc)
# measure TITLE DISK [OPTION...]: one rehearsal on one worker, one on every core, and the table.
measure() {
    local title=$1 disk=$2 one all points
    shift 2
    echo "mkdisk rehearse, $title ($cores cores):"
    one=$(rehearse "$disk" 1 "$@")
    all=$(rehearse "$disk" "$cores" "$@")
    points=$(sed -nE 's/^([0-9]+) cut points?:.*/\1/p' "$work/report-1.txt")
    head -1 "$work/report-1.txt" | sed 's/^/  /'
    tail -1 "$work/report-1.txt" | sed 's/^/  /'
    printf '  %-22s %8s %18s\n' "workers" "seconds" "per cut point (s)"
    for row in "1 $one" "$cores $all"; do
        set -- $row
        printf '  %-22s %8.2f %18.3f\n' "$1" "$2" "$(awk -v t="$2" -v n="$points" 'BEGIN { print t / n }')"
    done
    awk -v a="$one" -v b="$all" -v c="$cores" 'BEGIN { printf "  speed-up with %d workers: %.2fx\n", c, a / b }'
    last_seconds=$all
}

measure "the demonstration disk, the power cut after every step" "$work/disk"
awk -v b="$last_seconds" -v g="$goal_s" 'BEGIN {
    printf "  goal: under %d s on 2 cores: %s\n", g, (b < g ? "met" : "NOT met") }'

# The big disk: 200 files, 50 MB, text and random bytes in turn, the text packed on the disk.
source "$root/bench/mixed_files.sh"
big=$work/big
bench_text "$work/text" $((16 << 20))
mixed_files "$big/FILES" 200 50000000 "$work/text"
cat >"$big/tolvanex.des" <<'DES'
#DELETE C:\APP\~TVX*.TMP
#MAKEDIR FAILED,C:\APP
#COPY FAILED,A:\FILES\*.* C:\APP\
#END
#LABEL FAILED
#PRINTERRORCODE
#END
DES
"$bin/mkdisk" build "$big" "$work/bigdisk" --pack '*.TXT' >/dev/null
echo
steps=$("$bin/mkdisk" rehearse "$work/bigdisk" --desk "$work/desk" --answers '' --every 1000000000 |
    sed -nE '1s/^([0-9]+) steps.*/\1/p')
every=${EVERY:-$(((steps + 15) / 16))}
measure "a disk of 200 files, 50 MB ($(du -sm "$work/bigdisk" | cut -f1) MB packed), the power cut after every ${every}th of its $steps steps" \
    "$work/bigdisk" --every "$every"
