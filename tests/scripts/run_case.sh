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
#   panel_before     optional: yes or no, that panel key is held down (press --hold) before
#                      tolvanex starts
#   panel_during     optional: panel keys (yes or no, one per line) pressed one after another
#   panel_delay        while tolvanex runs, each panel_delay seconds after the start or the
#                      press before (default 0.5)
#   expected_stdout  the exact bytes on standard output
#   expected_lcd     optional: the exact output of "desksim lcd" after the run
#   expected_status  the exit status
#   stderr_not_empty optional marker: the run must say something on standard error
#   desk_profile     optional: replaces the desk's desk.toml
#   desk_example     optional: the name of a profile in examples/desks/ that replaces desk.toml
#   desk_before/     optional: copied into the desk folder before the run (c/ and d/ are drives
#                      C: and D:), so the desk holds old files
#   expected_desk/   optional: what c/ and d/ of the desk hold after the run (diff -r; a missing
#                      c/ or d/ means an empty drive)
#   expected_empty_dirs optional: empty directories expected besides expected_desk/ (which git
#                      cannot hold), one path per line relative to the desk folder (d/NEW)
#   checksums        optional: writes disk/checksum.dat, one 129-byte record per line
#                      "PATH [SUM]": PATH as listed (DATA\X.BIN); SUM a number (0x02), "bad" for
#                      the right sum plus one, or nothing for the sum of the disk's file
#   library_on_disk  optional marker: the runtime library beside tolvanex is put on the disk
#   env              optional: NAME=VALUE lines, exported to tolvanex (the platform's file fault
#                      hook PCPLAT_FILE_FAULTS, for example)
#   nvr_before       optional: a byte (0xA5) that fills the desk's non-volatile RAM before the run
#   expected_nvr     optional: the byte every byte of the NVR holds after the run
#   expected_card_log optional: the exact output of "desksim card-log" after the run (every
#                      block the cards answered)
#   time_limit       optional: seconds the run may take instead of 20 (a card that stalls makes
#                      the program wait out its poll limit)
# Whatever the case, no work file of COPY (~TVX*.TMP) may be left on the disk or the desk.
set -uo pipefail

usage="usage: run_case.sh TOLVANEX DESKSIM CASE_DIR WORK_DIR"
tolvanex=${1:?$usage}
desksim=${2:?$usage}
case_dir=${3:?$usage}
work=${4:?$usage}
time_limit=20
[[ -f $3/time_limit ]] && time_limit=$(tr -d '[:space:]' <"$3/time_limit")

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

if [[ -f $case_dir/desk_profile ]]; then
    cp "$case_dir/desk_profile" "$desk/desk.toml" || setup_failed "cannot write desk.toml"
fi
if [[ -f $case_dir/desk_example ]]; then
    example=$(dirname "${BASH_SOURCE[0]}")/../../examples/desks/$(tr -d '[:space:]' <"$case_dir/desk_example")
    cp "$example" "$desk/desk.toml" || setup_failed "cannot use the example desk $example"
fi
if [[ -d $case_dir/desk_before ]]; then
    cp -R "$case_dir/desk_before/." "$desk/" || setup_failed "cannot copy desk_before"
fi
if [[ -f $case_dir/nvr_before ]]; then
    fill=$(($(tr -d '[:space:]' <"$case_dir/nvr_before")))
    # At the largest size: the desk cuts it to its profile's size, keeping what fits.
    head -c $((128 * 1024)) /dev/zero | tr '\0' "\\$(printf '%03o' "$fill")" >"$desk/nvr.bin" ||
        setup_failed "cannot fill nvr.bin"
fi
if [[ -f $case_dir/library_on_disk ]]; then
    library=$(dirname "$tolvanex")/libvantrel.so
    [[ -f $library ]] || setup_failed "no runtime library at $library"
    cp "$library" "$work/disk/" || setup_failed "cannot copy the runtime library"
fi

# checksum_of FILE: the sum of its bytes modulo 256.
checksum_of() {
    local sum=0 byte
    for byte in $(od -An -v -tu1 "$1"); do
        sum=$(((sum + byte) % 256))
    done
    echo "$sum"
}

# write_checksum_list LISTING: disk/checksum.dat from the case's listing.
write_checksum_list() {
    local list=$work/disk/checksum.dat path sum file
    : >"$list"
    while read -r path sum; do
        [[ -z $path ]] && continue
        file=$work/disk/${path//\\//}
        if [[ -z $sum || $sum == bad ]]; then
            [[ -f $file ]] || setup_failed "checksums: no file $path on the disk"
            local real
            real=$(checksum_of "$file")
            if [[ $sum == bad ]]; then sum=$(((real + 1) % 256)); else sum=$real; fi
        fi
        ((${#path} <= 127)) || setup_failed "checksums: path longer than 127: $path"
        {
            printf '%s' "$path"
            head -c $((128 - ${#path})) /dev/zero
            printf "\\$(printf '%03o' $((sum & 255)))"
        } >>"$list"
    done <"$1"
}
if [[ -f $case_dir/checksums ]]; then
    write_checksum_list "$case_dir/checksums"
fi

extra_env=()
if [[ -f $case_dir/env ]]; then
    mapfile -t extra_env < <(grep -v '^[[:space:]]*$' "$case_dir/env")
fi

# press [--hold] KEY: the panel key through desksim, as an operator at the desk would.
press() {
    DESKSIM=$desk "$desksim" press "$@" 2>>"$work/setup.err" ||
        problem "desksim press $* failed: $(cat "$work/setup.err")"
}

if [[ -f $case_dir/panel_before ]]; then
    press --hold "$(tr -d '[:space:]' <"$case_dir/panel_before")"
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
    for setting in "${extra_env[@]}"; do
        export "${setting?}"
    done
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
    mapfile -t keys < <(tr -d ' \t\r' <"$case_dir/panel_during" | grep -v '^$')
    run_program &
    pid=$!
    for key in "${keys[@]}"; do
        sleep "$delay"
        press "$key"
    done
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

if [[ -d $case_dir/expected_desk || -f $case_dir/expected_empty_dirs ]]; then
    expected=$work/expected_desk
    mkdir -p "$expected/c" "$expected/d"
    [[ -d $case_dir/expected_desk ]] && cp -R "$case_dir/expected_desk/." "$expected/"
    if [[ -f $case_dir/expected_empty_dirs ]]; then
        while read -r dir; do
            [[ -n $dir ]] && mkdir -p "$expected/$dir"
        done <"$case_dir/expected_empty_dirs"
    fi
    for drive in c d; do
        difference=$(diff -r "$expected/$drive" "$desk/$drive" 2>&1)
        if [[ -n $difference ]]; then
            problem "drive ${drive^^}: differs from expected_desk/$drive:"$'\n'"$(
                printf '%s\n' "$difference" | head -20 | sed 's/^/    /')"
        fi
    done
fi

if [[ -f $case_dir/expected_nvr ]]; then
    want=$(printf '%02x' $(($(tr -d '[:space:]' <"$case_dir/expected_nvr"))))
    held=$(od -An -v -tx1 "$desk/nvr.bin" | tr -s ' \n' '\n' | grep -v '^$' | sort | uniq -c |
        awk '{printf "%s 0x%s bytes; ", $1, $2}')
    [[ $held == "$(stat -c %s "$desk/nvr.bin") 0x$want bytes; " ]] ||
        problem "the NVR holds ${held:-nothing}expected every byte 0x$want"
fi

if [[ -f $case_dir/expected_card_log ]]; then
    "$desksim" card-log "$desk" >"$work/card_log" 2>"$work/card_log.err" ||
        problem "desksim card-log failed: $(cat "$work/card_log.err")"
    if ! cmp -s "$case_dir/expected_card_log" "$work/card_log"; then
        problem "card log differs:"$'\n'"$(show_difference "$case_dir/expected_card_log" "$work/card_log")"
    fi
fi

# Work files of COPY that the case did not put there itself.
while IFS= read -r -d '' stray; do
    relative=${stray#"$work/"}
    case $relative in
    disk/*) origin=$case_dir/$relative ;;
    desk/*) origin=$case_dir/desk_before/${relative#desk/} ;;
    esac
    [[ -e $origin ]] || problem "work file left behind: $relative"
done < <(find "$work/disk" "$desk/c" "$desk/d" -iname '~TVX*.TMP' -print0 2>/dev/null)

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
