#!/usr/bin/env bash
# Runs one fuzz target for a while, on a copy of its saved corpus:
#   bash scripts/fuzz.sh TARGET [SECONDS] [LIBFUZZER_OPTION...]
# TARGET is one of tests/fuzz/*/ (pack_block, script, ...); SECONDS defaults to 60. Builds the
# fuzzers with clang into build-fuzz/ first. What the run finds (crashes, hangs, leaks) is
# written to build-fuzz/fuzz-work/TARGET/findings/; once a finding is mended, its input belongs
# in tests/fuzz/TARGET/regressions/, where every build replays it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
target=${1:?usage: fuzz.sh TARGET [SECONDS] [LIBFUZZER_OPTION...]}
seconds=${2:-60}
shift $(($# < 2 ? $# : 2))
[[ -d $root/tests/fuzz/$target/corpus ]] || {
    echo "fuzz: no target $target (targets: $(cd "$root/tests/fuzz" && ls -d */ | tr -d / | xargs))" >&2
    exit 2
}
[[ $seconds =~ ^[0-9]+$ ]] || { echo "fuzz: SECONDS must be a number: $seconds" >&2; exit 2; }

source "$root/scripts/i386-env.sh"
bash "$root/scripts/setup.sh" --fuzz
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$root/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDESK_FUZZ=ON >/dev/null
cmake --build "$root/build-fuzz" -j"$(nproc)" --target "${target}_fuzzer" >/dev/null

work=$root/build-fuzz/fuzz-work/$target
mkdir -p "$work/corpus" "$work/findings"
cp -n "$root/tests/fuzz/$target/corpus/"* "$work/corpus/" 2>/dev/null || true
echo "fuzz: $target for $seconds s; corpus $work/corpus, findings $work/findings" >&2

# The inputs that once failed are read with the corpus (the folder holds none until one does).
regressions=()
[[ -d $root/tests/fuzz/$target/regressions ]] && regressions=("$root/tests/fuzz/$target/regressions")
log=$work/run.log
status=0
(cd "$work" && "$root/build-fuzz/bin/${target}_fuzzer" "$work/corpus" "${regressions[@]}" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/findings/" -detect_leaks="$LEAK_CHECKS" "$@") >"$log" 2>&1 || status=$?
executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1)
found=$(find "$work/findings" -type f | wc -l)
echo "fuzz: $target: ${executed:-no} inputs run, ${coverage:-no coverage figure}, corpus of" \
    "$(find "$work/corpus" -type f | wc -l), $found finding(s) in $work/findings" >&2
((status == 0)) || tail -n 60 "$log" >&2
exit "$status"
