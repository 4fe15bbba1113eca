#!/usr/bin/env bash
# COPY through tolvanex on the simulated desk against the shell doing the same work: one 64 MiB
# plain file against cp + sync + cmp, and one 64 MiB file LZW-packed on the disk against
# uncompress + sync + cmp of the same data as a .Z file. Best of RUNS runs each; prints the ratios
# (the goal is at most 1.5). COPY checks the file against the checksum list, unpacks, writes a
# work file, flushes it to the disk, reads it back, compares and renames.
#
# Usage: bench/copy_bench.sh     Environment: BUILD_DIR (default build), RUNS (default 3)
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
[[ $build == /* ]] || build=$PWD/$build
runs=${RUNS:-3}
limit=1.5
mib=64

[[ -f $build/CMakeCache.txt ]] || cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target tolvanex desksim mkdisk vpack >/dev/null
bin=$build/bin

work=$(mktemp -d)
trap '[[ -n ${KEEP:-} ]] || rm -rf "$work"' EXIT
mkdir -p "$work/src"
echo "Preparing ${mib} MiB inputs in $work ..."
head -c $((mib << 20)) /dev/urandom >"$work/src/PLAIN.BIN"
# Text for the packed file: the system's licence texts and headers, repeated.
find /usr/share/common-licenses /usr/include -maxdepth 2 -type f -name '*' -size -512k 2>/dev/null |
    sort | head -400 | xargs cat >"$work/corpus" 2>/dev/null || true
while [[ $(stat -c %s "$work/corpus") -lt $((mib << 20)) ]]; do
    cat "$work/corpus" "$work/corpus" >"$work/corpus2"
    mv "$work/corpus2" "$work/corpus"
done
head -c $((mib << 20)) "$work/corpus" >"$work/src/TEXT.TXT"
rm "$work/corpus"
printf '#COPY F,A:\\PLAIN.BIN C:\\\n#LABEL F\n#PRINTERRORCODE\n#END\n' >"$work/src/plain.des"
printf '#COPY F,A:\\TEXT.TX_ C:\\\n#LABEL F\n#PRINTERRORCODE\n#END\n' >"$work/src/packed.des"
"$bin/mkdisk" build "$work/src" "$work/disk" --pack 'TEXT.TXT' -m 2 -s plain.des >/dev/null
compress -c "$work/src/TEXT.TXT" >"$work/TEXT.Z"
"$bin/desksim" new "$work/desk" >/dev/null

# best_of COMMAND...: the fastest wall time of the runs, in seconds.
best_of() {
    local best="" t
    for _ in $(seq "$runs"); do
        rm -f "$work/desk/c/"* "$work/out"
        sync
        local start end
        start=$(date +%s.%N)
        "$@" >/dev/null
        end=$(date +%s.%N)
        t=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
        if [[ -z $best ]] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
    done
    printf '%.3f' "$best"
}

run_copy() { (cd "$work/disk" && DESKSIM="$work/desk" "$bin/tolvanex" "$1" </dev/null | grep -q 0x0000); }
shell_plain() { cp "$work/disk/PLAIN.BIN" "$work/out" && sync && cmp -s "$work/disk/PLAIN.BIN" "$work/out"; }
shell_packed() { uncompress -c "$work/TEXT.Z" >"$work/out" && sync && cmp -s "$work/src/TEXT.TXT" "$work/out"; }

echo "Timing (best of $runs) ..."
plain_ours=$(best_of run_copy plain.des)
plain_ref=$(best_of shell_plain)
packed_ours=$(best_of run_copy packed.des)
cmp -s "$work/src/TEXT.TXT" "$work/desk/c/TEXT.TXT" || { echo "copy_bench: COPY installed other bytes" >&2; exit 1; }
packed_ref=$(best_of shell_packed)

printf '\n%-44s %8s %10s %7s\n' "COPY of one ${mib} MiB file, wall seconds" tolvanex reference ratio
over=0
line() {
    local ratio verdict=ok
    ratio=$(awk -v a="$2" -v b="$3" 'BEGIN { print a / b }')
    if awk -v r="$ratio" -v l="$limit" 'BEGIN { exit !(r > l) }'; then
        verdict=OVER
        over=$((over + 1))
    fi
    printf '%-44s %8s %10s %7.2f  %s\n' "$1" "$2" "$3" "$ratio" "$verdict"
}
line "plain (vs cp + sync + cmp)" "$plain_ours" "$plain_ref"
line "LZW-packed (vs uncompress + sync + cmp)" "$packed_ours" "$packed_ref"
echo "$over of 2 over the goal of $limit"
