#!/usr/bin/env bash
# Runs the desksim binary as a person would and checks exit status, output streams and files.
# Usage: desksim_test.sh PATH/TO/desksim SCRATCH_DIR
set -uo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../lib/cases.sh"

desksim=${1:?usage: desksim_test.sh DESKSIM_BINARY SCRATCH_DIR EXAMPLE_DESKS_DIR}
scratch=${2:?usage: desksim_test.sh DESKSIM_BINARY SCRATCH_DIR EXAMPLE_DESKS_DIR}
examples=${3:?usage: desksim_test.sh DESKSIM_BINARY SCRATCH_DIR EXAMPLE_DESKS_DIR}
rm -rf "$scratch"
mkdir -p "$scratch"
# The physical path, as the tool reports the start directory.
scratch=$(cd "$scratch" && pwd -P) || exit 1
cd "$scratch" || exit 1


# run [VAR=value ...] -- ARGS: runs desksim with DESKSIM unset plus the given variables.
run() {
    local vars=()
    while [[ $# -gt 0 && $1 != -- ]]; do vars+=("$1"); shift; done
    shift
    env -u DESKSIM "${vars[@]}" "$desksim" "$@" >out.txt 2>err.txt </dev/null
    rc=$?
}

# A failure is one line on stderr holding every given piece.
expect_one_line_err() {
    [[ $(wc -l <err.txt) == 1 ]] || fail "expected exactly one line on stderr"
    local piece
    for piece in "$@"; do grep -qF -- "$piece" err.txt || fail "stderr lacks: $piece"; done
}

start "info on the built-in default desk"
run -- info
expect_rc 0
expect_no_err
expect_out "built-in default desk"
expect_out "(temporary, removed at exit)"
expect_out "A:  $scratch  (current drive"
expect_out "card 0  window 0xD1000  fitted  type 0xC004  blocks accept"
expect_out "card 1  window 0xD2000  absent"
expect_out "128 KiB at 0xD4000"
expect_out "S3-style chip, id 0x8811, revision 0x40, memory field 4"
expect_out "vendor 0x8086, device 0x7190, BAR0 0xE0000008"
expect_out "conventional RAM"
temporary=$(sed -n 's/^Desk folder *\(.*\) (temporary, removed at exit)$/\1/p' out.txt)
[[ -n $temporary ]] || fail "no desk folder shown"
[[ -n $temporary && ! -e $temporary ]] || fail "temporary desk folder $temporary left behind"
finish

start "new makes a desk folder"
run -- new desks/bench
expect_rc 0
expect_no_err
desk=$scratch/desks/bench
[[ -f $desk/desk.toml ]] || fail "no desk.toml"
[[ -d $desk/c && -d $desk/d ]] || fail "no c/ and d/ folders"
# The state files, as a program makes them: card 0 shows its type word (0xC004) at 0x108.
[[ $(od -An -tx1 -j $((0x108)) -N2 "$desk/card0.bin" 2>/dev/null | tr -d ' ') == 04c0 &&
    $(stat -c %s "$desk/card0.bin") == 4096 && $(stat -c %s "$desk/nvr.bin") == 131072 &&
    ! -e $desk/card1.bin ]] || fail "state files: $(cd "$desk" && ls -l)"
expect_out "DESKSIM=$desk"
finish

start "info on a desk made by new"
run DESKSIM="$desk" -- info
expect_rc 0
expect_no_err
expect_out "Profile        $desk/desk.toml"
expect_out "Desk folder    $desk"
expect_no_out "temporary"
expect_out "C:  $desk/c"
expect_out "D:  $desk/d"
expect_out "file $desk/card0.bin"
expect_out "file $desk/nvr.bin"
[[ -f $desk/card0.bin && -f $desk/nvr.bin ]] || fail "state files not kept in the desk folder"
finish

start "info follows the profile"
printf '[card1]\nfitted = true\ntype = 0x00AB\nblocks = "stall"\n[nvr]\nsize_kib = 64\naddress = 0xF00000\n[drives]\nE = "e"\n[extender]\npresent = false\n[gfx]\nchip = false\n[pci]\nvendor = 0x1106\nbar0 = 0xD0000008\n' \
    >"$desk/desk.toml"
run DESKSIM="$desk" -- info
expect_rc 0
expect_out "card 1  window 0xD2000  fitted  type 0x00AB  blocks stall"
expect_out "64 KiB at 0xF00000"
expect_out "E:  $desk/e"
expect_no_out "D:  "
expect_out "missing"
expect_out "plain VGA adapter"
expect_out "vendor 0x1106, device 0x7190, BAR0 0xD0000008"
finish

start "new refuses an existing desk"
cp "$desk/desk.toml" before.toml
run -- new "$desk"
expect_rc 1
expect_silent_stdout
expect_one_line_err "$desk/desk.toml"
cmp -s before.toml "$desk/desk.toml" || fail "existing desk.toml was changed"
finish

# broken_profile NAME TEXT KEY...: info on a desk with that profile fails with one line naming the
# file and the key.
broken_profile() {
    local name=$1 text=$2
    shift 2
    start "broken profile: $name"
    local broken=$scratch/broken-$name
    mkdir -p "$broken"
    printf '%s' "$text" >"$broken/desk.toml"
    run DESKSIM="$broken" -- info
    expect_rc 1
    expect_silent_stdout
    expect_one_line_err "$broken/desk.toml: " "$@"
    finish
}
broken_profile syntax $'halt = "exit"\n[card0\nfitted = true\n' "line 2: "
broken_profile unknown-key $'[card0]\ncolour = "red"\n' "card0.colour: unknown key"
broken_profile out-of-range $'[nvr]\nsize_kib = 256\n' "nvr.size_kib: must be between 0 and 128, got 256"

start "a DESKSIM folder that does not exist"
run DESKSIM="$scratch/no-such-desk" -- info
expect_rc 1
expect_silent_stdout
expect_one_line_err "$scratch/no-such-desk"
finish

start "a folder without desk.toml or a file is not a desk, and is left as it was"
mkdir -p home
touch home-file
for command in info lcd "press yes"; do
    # shellcheck disable=SC2086 # the command's words
    run DESKSIM="$scratch/home" -- $command
    expect_rc 1
    expect_silent_stdout
    expect_one_line_err "$scratch/home: not a desk folder (no desk.toml); make one with: desksim new $scratch/home"
    # shellcheck disable=SC2086
    run DESKSIM="$scratch/home-file" -- $command
    expect_rc 1
    expect_one_line_err "$scratch/home-file is not a folder"
done
[[ -z $(ls -A home) && ! -s home-file ]] || fail "the refused desk wrote: $(ls -A home)"
finish

start "new where a file is in the way"
touch plain-file
run -- new plain-file/desk
expect_rc 1
expect_silent_stdout
expect_one_line_err "plain-file"
finish

start "new --from: a desk from each example profile; a broken profile makes nothing"
for profile in "$examples"/*.toml; do
    made=$scratch/from/$(basename "$profile" .toml)
    run -- new "$made" --from "$profile"
    expect_rc 0
    cmp -s "$profile" "$made/desk.toml" || fail "$made/desk.toml is not a copy of $profile"
    run DESKSIM="$made" -- info
    expect_rc 0
    expect_out "$made/desk.toml"
done
printf '[nvr]\nsize_kib = 256\n' >broken.toml
for from in broken.toml no-such.toml "$examples"; do
    run -- new "$scratch/from/refused" --from "$from"
    expect_rc 1
    expect_one_line_err "$from"
done
[[ ! -e $scratch/from/refused ]] || fail "a refused --from made the folder"
finish

start "usage errors"
run --
expect_rc 2
expect_one_line_err "desksim"
run -- new
expect_rc 2
expect_one_line_err "DIR"
run -- frobnicate
expect_rc 2
expect_one_line_err "frobnicate"
finish

# byte_at FILE OFFSET: the byte at OFFSET as a decimal number.
byte_at() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }

lcd_desk=$scratch/desks/lcd
"$desksim" new "$lcd_desk" >/dev/null 2>&1
card=$lcd_desk/card0.bin

start "lcd and press need a desk with card 0 fitted"
unfitted_desk=$scratch/desks/unfitted
"$desksim" new "$unfitted_desk" >/dev/null 2>&1
printf '[card0]\nfitted = false\n' >"$unfitted_desk/desk.toml"
for command in lcd "press yes"; do
    # shellcheck disable=SC2086 # the command's words
    run -- $command
    expect_rc 1
    expect_silent_stdout
    expect_one_line_err "DESKSIM"
    # shellcheck disable=SC2086
    run DESKSIM="$unfitted_desk" -- $command
    expect_rc 1
    expect_silent_stdout
    expect_one_line_err "card 0 is not fitted on this desk ($unfitted_desk/desk.toml)"
    # shellcheck disable=SC2086
    run DESKSIM="$scratch/no-such-desk" -- $command
    expect_rc 1
    expect_one_line_err "$scratch/no-such-desk"
done
finish

start "lcd on a fresh desk shows dots"
run DESKSIM="$lcd_desk" -- lcd
expect_rc 0
expect_no_err
printf '+--------------------+\n|....................|\n|....................|\n|....................|\n|....................|\n+------------------------+\n|........................|\n|........................|\n+------------------------+\n' >want.txt
cmp -s want.txt out.txt || fail "frame differs: $(diff want.txt out.txt)"
finish

start "lcd shows each field from its own offset, unprintable bytes as dots"
# Line 0 full; line 1 with a DEL, a control byte and a high byte; line 3; the second wide field.
printf 'ABCDEFGHIJKLMNOPQRST' | dd of="$card" bs=1 seek=$((0x11A)) conv=notrunc status=none
printf 'x\177y\037z\351 ~' | dd of="$card" bs=1 seek=$((0x12E)) conv=notrunc status=none
printf 'line three' | dd of="$card" bs=1 seek=$((0x156)) conv=notrunc status=none
printf 'wide field two, 24 charsX' | dd of="$card" bs=1 seek=$((0x182)) conv=notrunc status=none
size_before=$(stat -c %s "$card")
run DESKSIM="$lcd_desk" -- lcd
expect_rc 0
expect_no_err
printf '+--------------------+\n|ABCDEFGHIJKLMNOPQRST|\n|x.y.z. ~............|\n|....................|\n|line three..........|\n+------------------------+\n|........................|\n|wide field two, 24 chars|\n+------------------------+\n' >want.txt
cmp -s want.txt out.txt || fail "frame differs: $(diff want.txt out.txt)"
[[ $(stat -c %s "$card") == "$size_before" ]] || fail "lcd changed the card file"
finish

# keys: the panel key bytes, yes (0x9EE) then no (0x9ED).
keys() { echo "$(byte_at "$card" $((0x9EE)))$(byte_at "$card" $((0x9ED)))"; }

start "press writes the panel key bytes in place; a key comes up again unless held"
cp "$card" card-before.bin
inode=$(stat -c %i "$card")
while read -r want args; do
    # shellcheck disable=SC2086 # the press's words
    run DESKSIM="$lcd_desk" -- press $args
    expect_rc 0
    expect_silent_stdout
    expect_no_err
    [[ $(keys) == "$want" ]] || fail "after press $args: keys (yes, no) are $(keys), expected $want"
done <<'STEPS'
00 yes
00 no
10 --hold yes
10 no
11 --hold no
00 release
STEPS
[[ $(stat -c %i "$card") == "$inode" && $(stat -c %s "$card") == 4096 ]] ||
    fail "the card file was replaced or resized"
cmp -s card-before.bin "$card" || fail "the presses did not give back the card as it was"
finish

start "a press keeps the key down 250 ms; a signal meanwhile lets it go and ends the press"
began=$(date +%s%N)
run DESKSIM="$lcd_desk" -- press yes
took=$((($(date +%s%N) - began) / 1000000))
expect_rc 0
((took >= 250)) || fail "the press took only $took ms"
for signal in INT TERM HUP; do
    # The signal must come while the key is down; a press already over is tried again.
    for _ in 1 2 3 4 5; do
        env DESKSIM="$lcd_desk" "$desksim" press no >out.txt 2>err.txt </dev/null &
        pid=$!
        for _ in $(seq 1000); do
            [[ $(byte_at "$card" $((0x9ED))) == 1 ]] && break
        done
        kill -s "$signal" "$pid" 2>/dev/null
        wait "$pid"
        rc=$?
        [[ $rc == 0 ]] || break
    done
    expect_rc $((128 + $(kill -l "$signal")))
    [[ $(keys) == 00 ]] || fail "after $signal the keys (yes, no) are $(keys)"
done
finish

start "press refuses unknown keys and a short card file"
run DESKSIM="$lcd_desk" -- press maybe
expect_rc 2
expect_one_line_err "maybe"
run DESKSIM="$lcd_desk" -- press
expect_rc 2
expect_one_line_err "KEY"
cmp -s card-before.bin "$card" || fail "a refused press changed the card"
short_desk=$scratch/desks/short
mkdir -p "$short_desk"
: >"$short_desk/desk.toml"
head -c 100 /dev/zero >"$short_desk/card0.bin"
run DESKSIM="$short_desk" -- press yes
expect_rc 1
expect_one_line_err "too short"
[[ $(stat -c %s "$short_desk/card0.bin") == 100 ]] || fail "press grew a short card file"
run DESKSIM="$short_desk" -- lcd
expect_rc 1
expect_silent_stdout
expect_one_line_err "too short"
finish

start "card-log shows each block in one line, and says what it cannot show"
log_desk=$scratch/desks/log
"$desksim" new "$log_desk" >/dev/null 2>&1
run -- card-log "$log_desk"
expect_rc 0
expect_out "no card has taken a block on this desk yet"
run -- card-log
expect_rc 1
expect_one_line_err "DESKSIM"
run -- card-log "$scratch/no-such-desk"
expect_rc 1
expect_one_line_err "$scratch/no-such-desk"
# Card 1 refused an end block: P3 0x21, the unused byte, P5 0x50, P6 0x02, P7 0x7F, data ab cd
# then zeros; then 10 bytes of a record cut short.
{
    printf '\001\001\120\041\000\120\002\177\253\315'
    head -c 254 /dev/zero
    head -c 10 /dev/zero
} >"$log_desk/card-blocks.log"
run DESKSIM="$log_desk" -- card-log
expect_rc 0
{
    printf '1  card 1  rejected  end  0x50  P3 0x21  P5 0x50  P6 0x02  P7 0x7F  abcd'
    printf '0%.0s' $(seq 508)
    printf '\n(the log ends inside a record: 10 bytes left)\n'
} >want.txt
cmp -s want.txt out.txt || fail "card log differs: $(diff want.txt out.txt | cut -c1-120)"
finish

# samples FILE FIRST COUNT: COUNT 16-bit samples of a WAV file from sample FIRST, one a line.
samples() { od -An -td2 -v -j $((44 + 2 * $2)) -N $((2 * $3)) "$1" | tr -s ' ' '\n' | grep -v '^$'; }
# sign_changes: how often the samples on standard input change sign.
sign_changes() { awk '{ if (NR > 1 && ($1 > 0) != (last > 0)) n++; last = $1 } END { print n + 0 }'; }

start "sound renders the speaker log as a WAV file: header, length, tones and silence"
sound_desk=$scratch/desks/sound
"$desksim" new "$sound_desk" >/dev/null 2>&1
# Two tones as the speaker model logs them: 1000.15 Hz for 250 ms, then 439.97 Hz for 100 ms
# after 250 ms of silence.
cat >"$sound_desk/speaker.log" <<'LOG'
# The desk speaker's tones since power-on
#      tick      start_ms  divisor          hz     length_ms
         40      1000.000     1193     1000.15       250.000
         60      1500.000     2712      439.97       100.000
LOG
run -- sound "$sound_desk" -o beeps.wav
expect_rc 0
expect_no_err
expect_out "Wrote beeps.wav: 2 tones, 0.600 seconds"
# 0.6 s at 44100 Hz: 26460 samples of 2 bytes after the 44-byte header.
[[ $(stat -c %s beeps.wav 2>/dev/null) == $((44 + 2 * 26460)) ]] || fail "size $(stat -c %s beeps.wav)"
header=$(od -An -tx1 -v -N 44 beeps.wav | tr -d ' \n')
# RIFF, size, WAVE, fmt  of 16 bytes: PCM, 1 channel, 44100 Hz, 88200 bytes/s, 2-byte frames,
# 16 bits; data and its size.
[[ $header == 52494646dcce000057415645666d7420100000000100010044ac0000885801000200100064617461b8ce0000 ]] ||
    fail "header $header"
# 250 periods in the first tone's 11025 samples, silence in the gap, 44 periods in the second.
changes=$(samples beeps.wav 0 11025 | sign_changes)
((changes >= 498 && changes <= 500)) || fail "first tone: $changes sign changes, not 500"
[[ -z $(samples beeps.wav 11025 11025 | grep -vx 0) ]] || fail "the gap is not silent"
changes=$(samples beeps.wav 22050 4410 | sign_changes)
((changes >= 86 && changes <= 88)) || fail "second tone: $changes sign changes, not 88"
[[ -z $(find . -name '.*.desksim-*') ]] || fail "temporary files left"
# DESKSIM names the desk, and an existing output is replaced.
run DESKSIM="$sound_desk" -- sound -o beeps.wav
expect_rc 0
expect_out "2 tones"
finish

start "sound refuses what it cannot render, in one line, and leaves no output"
run -- sound "$scratch/desks/lcd" -o none.wav
expect_rc 1
expect_one_line_err "$scratch/desks/lcd/speaker.log" "the speaker has not sounded"
printf '         40      1000.000     1193     1000.15       250.000\n40 1000.000 0 1 2\n' \
    >"$sound_desk/speaker.log"
run -- sound "$sound_desk" -o none.wav
expect_rc 1
expect_one_line_err "speaker.log: line 2: not a tone"
printf '# only comments\n' >"$sound_desk/speaker.log"
run -- sound "$sound_desk" -o none.wav
expect_rc 1
expect_one_line_err "holds no tone"
rm -f "$sound_desk/speaker.log"
mkdir -p "$sound_desk/speaker.log"
run -- sound "$sound_desk" -o none.wav
expect_rc 1
expect_one_line_err "$sound_desk/speaker.log"
rmdir "$sound_desk/speaker.log"
[[ ! -e none.wav ]] || fail "a refused sound wrote its output"
run -- sound "$sound_desk"
expect_rc 2
expect_one_line_err "--output"
run -- sound -o none.wav
expect_rc 1
expect_one_line_err "DESKSIM"
finish

start "schedule adds, lists in order and clears entries; the file reads back"
sched_desk=$scratch/desks/schedule
"$desksim" new "$sched_desk" >/dev/null 2>&1
# The line as the file holds it (blanks as _), then the words of the command.
while read -r want args; do
    # shellcheck disable=SC2086 # the entry's words
    run -- schedule "$sched_desk" add $args
    expect_rc 0
    expect_no_err
    expect_out "scheduled: ${want//_/ }"
done <<'STEPS'
40_key_"y\n" 40 key y\n
80_key_0x3B 80 key 0x3B
90_mouse_10_-4_1 90 mouse 10 -4 1
STEPS
run -- schedule "$sched_desk" add 5 key 'say "hi"'
expect_rc 0
printf '5 key "say \\"hi\\""\n40 key "y\\n"\n80 key 0x3B\n90 mouse 10 -4 1\n' >want.txt
run DESKSIM="$sched_desk" -- schedule list
expect_rc 0
cmp -s want.txt out.txt || fail "list differs: $(diff want.txt out.txt)"
[[ -z $(find "$sched_desk" -name '.*.desksim-*') ]] || fail "temporary files left"
finish

start "schedule refuses bad entries in one line and leaves the file as it was"
cp "$sched_desk/input-schedule" schedule-before
for args in "5 key 0x80" "5 key" "x key a" "5 mouse 1 2" "5 mouse 1 2 9" "5 press a" "5 key \"\""; do
    # shellcheck disable=SC2086 # the entry's words
    run -- schedule "$sched_desk" add $args
    expect_rc 1
    expect_silent_stdout
    expect_one_line_err "desksim: "
done
run -- schedule "$sched_desk" add 5 key 0x80
expect_one_line_err "not 0x80"
cmp -s schedule-before "$sched_desk/input-schedule" || fail "a refused entry changed the file"
printf '7 key "ok"\nseven key "x"\n' >"$sched_desk/input-schedule"
for command in list "add 1 key a"; do
    # shellcheck disable=SC2086 # the command's words
    run -- schedule "$sched_desk" $command
    expect_rc 1
    expect_one_line_err "$sched_desk/input-schedule: line 2: "
done
run DESKSIM="$sched_desk" -- info
expect_rc 1
expect_one_line_err "input-schedule: line 2"
run -- schedule "$sched_desk"
expect_rc 2
expect_one_line_err "--help"
run -- schedule "$scratch/no-such-desk" list
expect_rc 1
expect_one_line_err "$scratch/no-such-desk"
run -- schedule "$sched_desk" clear
expect_rc 0
[[ ! -e $sched_desk/input-schedule ]] || fail "clear left the file"
run -- schedule "$sched_desk" list
expect_rc 0
expect_out "nothing is scheduled"
finish

start "help explains DESKSIM"
run -- --help
expect_rc 0
expect_out "DESKSIM"
expect_out "new"
expect_out "info"
expect_out "lcd"
expect_out "press"
expect_out "card-log"
expect_out "sound"
expect_out "schedule"
expect_out "Show the desk live in the terminal"
finish

summary
