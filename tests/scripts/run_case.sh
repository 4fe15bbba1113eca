#!/usr/bin/env bash
# Runs tolvanex once over a case folder on a fresh desk and compares what the operator would see:
# the screen (standard output), the LCD and the exit status.
# Usage: run_case.sh TOLVANEX DESKSIM CASE_DIR WORK_DIR
#
# A case folder holds:
#   disk/            the upgrade disk, copied to WORK_DIR/disk, the start directory (drive A:)
#   args             optional: command-line arguments, one per line (an empty file: none)
#   input            optional: keyboard bytes on standard input (without it: /dev/null)
#   input_delay      optional: seconds to wait before the input is written
#   panel_before     optional: yes or no, that panel key is held before tolvanex starts
#   panel_during     optional: yes or no, that panel key is pressed while tolvanex runs,
#   panel_delay        panel_delay seconds after the start (default 0.5)
#   expected_stdout  the exact bytes on standard output
#   expected_lcd     optional: the exact output of "desksim lcd" after the run
#   expected_status  the exit status
#   stderr_not_empty optional marker: the run must say something on standard error
set -uo pipefail

usage="usage: run_case.sh TOLVANEX DESKSIM CASE_DIR WORK_DIR"
tolvanex=${1:?$usage}
desksim=${2:?$usage}
case_dir=${3:?$usage}
work=${4:?$usage}
time_limit=20

absolute() { (cd "$(dirname "$1")" && printf '%s/%s' "$(pwd -P)" "$(basename "$1")"); }
tolvanex=$(absolute "$tolvanex")
desksim=$(absolute "$desksim")
case_dir=$(cd "$case_dir" && pwd -P) || exit 1
name=$(basename "$case_dir")

problems=()
problem() { problems+=("$1"); }

# setup_failed REASON: the case could not even be run.
setup_failed() {
    echo "FAIL $name: $1"
    exit 1
}

[[ -x $tolvanex ]] || setup_failed "no program at $tolvanex"
[[ -x $desksim ]] || setup_failed "no desksim at $desksim"
[[ -f $case_dir/expected_status && -f $case_dir/expected_stdout ]] ||
    setup_failed "the case lacks expected_status or expected_stdout"

rm -rf "$work"
mkdir -p "$work" || setup_failed "cannot make $work"
work=$(cd "$work" && pwd -P)
desk=$work/desk
"$desksim" new "$desk" >/dev/null 2>"$work/setup.err" ||
    setup_failed "desksim new failed: $(cat "$work/setup.err")"
mkdir -p "$work/disk"
if [[ -d $case_dir/disk ]]; then
    cp -R "$case_dir/disk/." "$work/disk/" || setup_failed "cannot copy the disk"
fi

# press KEY: the panel key through desksim, as an operator at the desk would.
press() {
    DESKSIM=$desk "$desksim" press "$1" 2>>"$work/setup.err" ||
        problem "desksim press $1 failed: $(cat "$work/setup.err")"
}

if [[ -f $case_dir/panel_before ]]; then
    # The card's state file appears when a program first starts; a zeroed window is what the
    # desk would make.
    head -c 4096 /dev/zero >"$desk/card0.bin"
    press "$(tr -d '[:space:]' <"$case_dir/panel_before")"
fi

args=()
if [[ -f $case_dir/args ]]; then
    mapfile -t args <"$case_dir/args"
fi

out=$work/stdout
err=$work/stderr

# The program with its keyboard: the input file at once, after a delay, or nothing at all.
run_program() (
    cd "$work/disk" || exit 125
    export DESKSIM=$desk
    command=(timeout -k 2 "$time_limit" "$tolvanex" "${args[@]}")
    if [[ ! -f $case_dir/input ]]; then
        "${command[@]}" >"$out" 2>"$err" </dev/null
    elif [[ -f $case_dir/input_delay ]]; then
        delay=$(tr -d '[:space:]' <"$case_dir/input_delay")
        (sleep "$delay" && cat "$case_dir/input") | "${command[@]}" >"$out" 2>"$err"
        exit "${PIPESTATUS[1]}"
    else
        "${command[@]}" >"$out" 2>"$err" <"$case_dir/input"
    fi
)

if [[ -f $case_dir/panel_during ]]; then
    delay=0.5
    [[ -f $case_dir/panel_delay ]] && delay=$(tr -d '[:space:]' <"$case_dir/panel_delay")
    run_program &
    pid=$!
    sleep "$delay"
    press "$(tr -d '[:space:]' <"$case_dir/panel_during")"
    wait "$pid"
    status=$?
else
    run_program
    status=$?
fi

# show_difference EXPECTED ACTUAL: line by line with invisible bytes spelled out.
show_difference() {
    local difference
    difference=$(diff -u --label expected --label actual <(sed -n l "$1") <(sed -n l "$2"))
    if [[ -n $difference ]]; then
        printf '%s\n' "$difference" | head -60 | sed 's/^/    /'
    else
        # Only the final line feed differs, which sed does not show.
        echo "    they differ in the final line feed; the last bytes are:"
        echo "    expected: $(tail -c 16 "$1" | od -An -c)"
        echo "    actual:   $(tail -c 16 "$2" | od -An -c)"
    fi
}

expected_status=$(tr -d '[:space:]' <"$case_dir/expected_status")
if [[ $status == 124 || $status == 137 ]]; then
    problem "tolvanex did not end within ${time_limit} s (hung; status $status)"
elif [[ $status != "$expected_status" ]]; then
    problem "exit status $status, expected $expected_status"
fi

if ! cmp -s "$case_dir/expected_stdout" "$out"; then
    problem "standard output differs:"$'\n'"$(show_difference "$case_dir/expected_stdout" "$out")"
fi

if [[ -f $case_dir/expected_lcd ]]; then
    DESKSIM=$desk "$desksim" lcd >"$work/lcd" 2>"$work/lcd.err" ||
        problem "desksim lcd failed: $(cat "$work/lcd.err")"
    if ! cmp -s "$case_dir/expected_lcd" "$work/lcd"; then
        problem "LCD differs:"$'\n'"$(show_difference "$case_dir/expected_lcd" "$work/lcd")"
    fi
fi

if [[ -f $case_dir/stderr_not_empty && ! -s $err ]]; then
    problem "nothing on standard error"
fi

if [[ ${#problems[@]} == 0 ]]; then
    echo "PASS $name"
    exit 0
fi
echo "FAIL $name: ${#problems[@]} problem(s)"
for p in "${problems[@]}"; do
    echo "  - $p"
done
if [[ -s $err ]]; then
    echo "  standard error:"
    head -20 "$err" | sed 's/^/    /'
fi
exit 1
