#!/usr/bin/env bash
# The disk pipeline end to end, each row in ROUNDS alternating rounds (ours, then the reference,
# and again) so that both see the same machine load; min, median and max of each side and of the
# per-round ratio, against the row's target:
#   build   mkdisk build of 200 files, 100 MB, -m best: one worker against one per core; the
#           ratio is the speed-up (target at least 1.8)
#   copy    COPY of a 64 MiB plain file through tolvanex against cp + sync + cmp (target at most
#           1.2 in every round)
#   disk    a whole disk of 200 mixed files, 50 MB, half of them LZW-packed, through tolvanex
#           against cp -r + uncompress + sync + diff -r (target at most 1.3 at the median);
#           then the same with fsync made a no-op in tolvanex, to show what the flushes cost
#
# Usage: bench/pipeline_bench.sh [build] [copy] [disk]     (all three when none is named)
# Environment: BUILD_DIR (default build), ROUNDS (default 5), BIN_DIR (programs built elsewhere,
#              such as an older version's, used as they are)
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
[[ $build == /* ]] || build=$PWD/$build
rounds=${ROUNDS:-5}
rows=("$@")
((${#rows[@]})) || rows=(build copy disk)

command -v uncompress >/dev/null || { echo "pipeline_bench: uncompress is missing (Debian: ncompress)" >&2; exit 1; }
if [[ -n ${BIN_DIR:-} ]]; then
    bin=$(cd "$BIN_DIR" && pwd)
else
    [[ -f $build/CMakeCache.txt ]] || cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" -j"$(nproc)" --target tolvanex desksim mkdisk >/dev/null
    bin=$build/bin
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/pipeline-bench.XXXXXX")
trap '[[ -n ${KEEP:-} ]] || rm -rf "$work"' EXIT

source "$root/bench/mixed_files.sh"
bench_text "$work/text" $((64 << 20))
files() { mixed_files "$1" "$2" "$3" "$work/text"; }

# seconds COMMAND...: the wall time of one run.
seconds() {
    local start=$EPOCHREALTIME
    "$@" >/dev/null
    local end=$EPOCHREALTIME
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}
# stats VALUES...: "min median max".
stats() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { printf "%.3f %.3f %.3f", v[1], (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2), v[NR] }'; }

report=()
# alternate LABEL KIND TARGET PREPARE OURS REF: ROUNDS rounds of PREPARE, OURS, PREPARE, REF.
# KIND "ratio": ratio = ours / ref, met when at most TARGET ("every": in every round, else at
# the median); KIND "speedup": ratio = ours / ref is how many times faster REF is, met when the
# median is at least TARGET.
alternate() {
    local label=$1 kind=$2 target=$3 prepare=$4 ours=$5 ref=$6 i t_ours t_ref
    local all_ours=() all_ref=() all_ratio=()
    echo "$label: $rounds rounds (load: $(cut -d' ' -f1-3 /proc/loadavg)) ..."
    for ((i = 1; i <= rounds; i++)); do
        $prepare
        t_ours=$(seconds $ours)
        $prepare
        t_ref=$(seconds $ref)
        all_ours+=("$t_ours")
        all_ref+=("$t_ref")
        all_ratio+=("$(awk -v a="$t_ours" -v b="$t_ref" 'BEGIN { printf "%.3f", a / b }')")
        echo "  round $i: $t_ours s against $t_ref s, ratio ${all_ratio[-1]}"
    done
    local ratio verdict
    read -r r_min r_median r_max <<<"$(stats "${all_ratio[@]}")"
    case $kind in
    every) awk -v r="$r_max" -v t="$target" 'BEGIN { exit !(r <= t) }' && verdict=met || verdict=NOT ;;
    median) awk -v r="$r_median" -v t="$target" 'BEGIN { exit !(r <= t) }' && verdict=met || verdict=NOT ;;
    speedup) awk -v r="$r_median" -v t="$target" 'BEGIN { exit !(r >= t) }' && verdict=met || verdict=NOT ;;
    info) verdict="for comparison, no target" ;;
    esac
    report+=("$(printf '%-40s %-23s %-23s %-23s %s' "$label" "$(stats "${all_ours[@]}")" \
        "$(stats "${all_ref[@]}")" "$r_min $r_median $r_max" "$target $kind: $verdict")")
}

nothing() { :; }
desk_reset() {
    rm -rf "$work/desk/c" "$work/out"
    mkdir -p "$work/desk/c"
    sync
}
# PRELOAD: a library for tolvanex alone (the diagnostic row of the disk).
tolvanex_run() { (cd "$work/$1" && DESKSIM="$work/desk" LD_PRELOAD=${PRELOAD:-} "$bin/tolvanex" "$2" </dev/null | grep -q 0x0000); }

for row in "${rows[@]}"; do
    case $row in
    build)
        files "$work/build-src/DATA" 200 100000000
        printf '#END\n' >"$work/build-src/tolvanex.des"
        workers=$(nproc)
        build_one() { "$bin/mkdisk" build "$work/build-src" "$work/build-disk" --force -m best --pack 'DATA\*' -j 1; }
        build_all() { "$bin/mkdisk" build "$work/build-src" "$work/build-disk" --force -m best --pack 'DATA\*' -j "$workers"; }
        build_one >/dev/null # warm the page cache
        alternate "mkdisk build, 1 worker / $workers" speedup 1.8 nothing build_one build_all
        rm -rf "$work/build-src" "$work/build-disk"
        ;;
    copy)
        mkdir -p "$work/copy-disk"
        head -c $((64 << 20)) "$work/text" >"$work/copy-disk/PLAIN.BIN"
        printf '#COPY F,A:\\PLAIN.BIN C:\\\n#LABEL F\n#PRINTERRORCODE\n#END\n' >"$work/copy-disk/copy.des"
        "$bin/mkdisk" sums "$work/copy-disk" >/dev/null
        [[ -d $work/desk ]] || "$bin/desksim" new "$work/desk" >/dev/null
        copy_ours() { tolvanex_run copy-disk copy.des; }
        copy_ref() { cp "$work/copy-disk/PLAIN.BIN" "$work/out" && sync && cmp -s "$work/copy-disk/PLAIN.BIN" "$work/out"; }
        alternate "COPY 64 MiB plain / cp+sync+cmp" every 1.2 desk_reset copy_ours copy_ref
        desk_reset
        copy_ours
        cmp -s "$work/copy-disk/PLAIN.BIN" "$work/desk/c/PLAIN.BIN" || { echo "pipeline_bench: COPY installed other bytes" >&2; exit 1; }
        rm -rf "$work/copy-disk"
        ;;
    disk)
        files "$work/disk-src/DATA" 200 50000000
        # Half packed, text and incompressible alike; the reference has those as .Z files.
        mkdir -p "$work/disk-ref"
        packs=()
        for f in "$work"/disk-src/DATA/F*; do
            name=$(basename "$f")
            n=${name:1:3}
            if ((10#$n % 4 < 2)); then
                packs+=(--pack "$name")
                compress -c "$f" >"$work/disk-ref/$name.Z" || (($? == 2))
            else
                cp "$f" "$work/disk-ref/$name"
            fi
        done
        printf '#COPY F,A:\\DATA\\*.* C:\\\n#LABEL F\n#PRINTERRORCODE\n#END\n' >"$work/disk-src/disk.des"
        "$bin/mkdisk" build "$work/disk-src" "$work/disk-disk" -m 2 "${packs[@]}" -s disk.des >/dev/null
        [[ -d $work/desk ]] || "$bin/desksim" new "$work/desk" >/dev/null
        disk_ours() { tolvanex_run disk-disk disk.des; }
        disk_ref() {
            cp -r "$work/disk-ref" "$work/out" && uncompress "$work"/out/*.Z && sync &&
                diff -r "$work/disk-src/DATA" "$work/out" >/dev/null
        }
        alternate "whole disk 200 files / cp+uncompress" median 1.3 desk_reset disk_ours disk_ref
        # Where the time goes: tolvanex flushes every file it installs to the host's disk, the
        # reference syncs once. The same run with the host's fsync made a no-op shows the cost.
        if printf 'int fsync(int fd) { (void)fd; return 0; }\n' >"$work/no_fsync.c" &&
            cc -m32 -shared -fPIC -o "$work/no_fsync.so" "$work/no_fsync.c" 2>/dev/null; then
            disk_no_fsync() { PRELOAD=$work/no_fsync.so disk_ours; }
            alternate "  the same, fsync a no-op" info - desk_reset disk_no_fsync disk_ref
        fi
        desk_reset
        disk_ours
        diff -r "$work/disk-src/DATA" "$work/desk/c" >/dev/null || { echo "pipeline_bench: the disk installed other files" >&2; exit 1; }
        rm -rf "$work/disk-src" "$work/disk-ref" "$work/disk-disk"
        ;;
    *)
        echo "pipeline_bench: no row $row (build, copy, disk)" >&2
        exit 2
        ;;
    esac
done

echo
printf '%-40s %-23s %-23s %-23s %s\n' "wall seconds: min median max" ours reference ratio target
printf '%s\n' "${report[@]}"
