#!/usr/bin/env bash
# mkdisk rehearse on the demonstration disk (examples/demo, made as scripts/demo-disk.sh makes
# it): the power cut after every step, with one worker and with one per core. Prints the cut
# points, the wall time of each, the cost of one cut point (a run cut short, then a whole run on
# the booted desk) and the speed-up; the goal is the whole rehearsal in under 30 s on 2 cores.
#
# Usage: bench/rehearse_bench.sh     Environment: BUILD_DIR (default build)
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

# rehearse JOBS: the wall seconds; the report goes to $work/report-JOBS.txt.
rehearse() {
    local start end
    start=$(date +%s.%N)
    "$bin/mkdisk" rehearse "$work/disk" --desk "$work/desk" --answers y --jobs "$1" \
        >"$work/report-$1.txt" || (($? == 1)) # cut points that differ are findings, not errors
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }'
}

cores=$(nproc)
echo "mkdisk rehearse, the demonstration disk, the power cut after every step ($cores cores):"
one=$(rehearse 1)
all=$(rehearse "$cores")
points=$(sed -nE 's/^([0-9]+) cut points?:.*/\1/p' "$work/report-1.txt")
tail -1 "$work/report-1.txt" | sed 's/^/  /'
printf '  %-22s %8s %18s\n' "workers" "seconds" "per cut point (s)"
for row in "1 $one" "$cores $all"; do
    set -- $row
    printf '  %-22s %8.2f %18.3f\n' "$1" "$2" "$(awk -v t="$2" -v n="$points" 'BEGIN { print t / n }')"
done
awk -v a="$one" -v b="$all" -v c="$cores" -v g="$goal_s" 'BEGIN {
    printf "  speed-up with %d workers: %.2fx; goal: under %d s on 2 cores: %s\n",
        c, a / b, g, (b < g ? "met" : "NOT met") }'
