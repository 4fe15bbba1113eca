#!/usr/bin/env bash
# Runs the C client as a real process on a desk folder and checks what it did.
set -u
client=$1
work=$2
desksim=$3
rm -rf "$work" && mkdir -p "$work/desk"
: >"$work/desk/desk.toml" # the default desk
failures=0
check() { # name, expected status, got status, expected output pattern, output
    if [ "$2" != "$3" ] || ! grep -qE -- "$4" <<<"$5"; then
        echo "FAIL $1: status $3 (wanted $2), output:"
        echo "$5"
        failures=$((failures + 1))
    else
        echo "ok   $1"
    fi
}

out=$(printf 'ab\033[Aq' | DESKSIM="$work/desk" "$client" keys 2>&1); rc=$?
check "keys from a pipe" 0 $rc $'card type C004\nkey 97\nkey 98\nkey 0\nkey 72' "$out"
[ -f "$work/desk/card0.bin" ] || { echo "FAIL the desk keeps no card file"; failures=$((failures + 1)); }

out=$(printf 'x\r\n' | DESKSIM="$work/desk" "$client" keys 2>&1); rc=$?
check "input that ends while a key is awaited" 5 $rc "key 120.*key 13.*keyboard input has ended" "$(tr '\n' ' ' <<<"$out")"

# Keys still scheduled are input to come, though standard input has ended: q ends the client.
"$desksim" schedule "$work/desk" add 5 key q >/dev/null
out=$(printf 'x' | DESKSIM="$work/desk" "$client" keys 2>&1); rc=$?
check "scheduled keys after piped input" 0 $rc "key 120" "$out"
"$desksim" schedule "$work/desk" clear >/dev/null

out=$(printf 'q' | DESKSIM="$work/desk" "$client" stop 2>&1); rc=$?
check "halt after STOP" 2 $rc "card type" "$out"
out=$(printf 'q' | DESKSIM="$work/desk" "$client" fail 2>&1); rc=$?
check "halt after a failed run" 1 $rc "card type" "$out"

printf 'halt = "wait"\n' >"$work/desk/desk.toml"
printf 'q' | DESKSIM="$work/desk" timeout 2 "$client" stop >/dev/null 2>&1; rc=$?
check "a desk that waits at the halt" 124 $rc "" ""

printf '[extender]\npresent = false\n' >"$work/desk/desk.toml"
out=$(DESKSIM="$work/desk" "$client" keys </dev/null 2>&1); rc=$?
check "no extender" 0 $rc "^no extender$" "$out"

printf '[nvr]\nsize_kib = 999\n' >"$work/desk/desk.toml"
out=$(DESKSIM="$work/desk" "$client" keys </dev/null 2>&1); rc=$?
check "a broken profile" 4 $rc "desk.toml: nvr.size_kib" "$out"

out=$(DESKSIM="$work/nowhere" "$client" keys </dev/null 2>&1); rc=$?
check "a desk folder that does not exist" 4 $rc "does not exist" "$out"

# A folder without desk.toml (the home folder named by mistake) is left as it was.
mkdir -p "$work/home"
out=$(DESKSIM="$work/home" "$client" keys </dev/null 2>&1); rc=$?
check "a folder that is not a desk" 4 $rc "^desk PC cannot start: $work/home: not a desk folder \(no desk.toml\); make one with: desksim new $work/home$" "$out"
[ -z "$(ls -A "$work/home")" ] || { echo "FAIL the refused desk wrote into the folder"; failures=$((failures + 1)); }

: >"$work/desk/desk.toml"
out=$(DESKSIM="$work/desk" "$client" timer </dev/null 2>&1); rc=$?
# Ticks never come early; 20 at 39.26 Hz take 0.51 s at least.
check "the timer runs on the host's clock" 0 $rc "20 ticks in (0\.(4[89]|[5-9][0-9])|[1-4]\.[0-9]+) s" "$out"

# Waiting for a key that can never come: on a temporary desk nothing else can answer.
out=$(env -u DESKSIM "$client" poll </dev/null 2>&1); rc=$?
check "a key poll after input ended, temporary desk" 5 $rc "keyboard input has ended" "$out"
out=$(env -u DESKSIM "$client" bios </dev/null 2>&1); rc=$?
check "the BIOS key wait after input ended" 5 $rc "keyboard input has ended" "$out"
DESKSIM="$work/desk" timeout 1 "$client" poll </dev/null >/dev/null 2>&1; rc=$?
check "a named desk keeps waiting for its panel" 124 $rc "" ""

# One program at a time on a desk: a second is refused naming the first, which lcd and press
# do not disturb; the desk is free again once the first is gone, however it went.
DESKSIM="$work/desk" "$client" poll </dev/null >/dev/null 2>&1 &
first=$!
for _ in $(seq 100); do
    [ "$(cat "$work/desk/desk.lock" 2>/dev/null)" = "$first" ] && break
    sleep 0.1
done
out=$(DESKSIM="$work/desk" "$client" keys </dev/null 2>&1); rc=$?
check "a second program on a desk in use" 4 $rc "^desk PC cannot start: $work/desk: the desk is in use by process $first$" "$out"
out=$(DESKSIM="$work/desk" "$desksim" info 2>&1); rc=$?
check "desksim info on a desk in use" 1 $rc "^desksim: $work/desk: the desk is in use by process $first$" "$out"
out=$(DESKSIM="$work/desk" "$desksim" press yes 2>&1 && DESKSIM="$work/desk" "$desksim" press release 2>&1 &&
    DESKSIM="$work/desk" "$desksim" lcd 2>&1); rc=$?
check "lcd and press on a desk in use" 0 $rc "^\+-{20}\+$" "$out"
kill -0 $first 2>/dev/null || { echo "FAIL the first program did not keep running"; failures=$((failures + 1)); }
kill -KILL $first
wait $first 2>/dev/null
out=$(printf 'q' | DESKSIM="$work/desk" "$client" keys 2>&1); rc=$?
check "a desk whose program was killed" 0 $rc "card type" "$out"

# A signal ends the program the ordinary way: the temporary desk goes with it. (Not in a
# sanitizer build under the i386 emulator, where ASan misreads the watcher thread's handler.)
if [[ -n ${DESK_SANITIZED:-} && -n ${DESK_EMULATED_I386:-} ]]; then
    echo "skip SIGTERM while waiting for a key (sanitizers under the i386 emulator)"
else
    mkdir -p "$work/tmp"
    mkfifo "$work/keys"
    (sleep 3 >"$work/keys") &
    holder=$!
    TMPDIR="$work/tmp" env -u DESKSIM "$client" keys <"$work/keys" >/dev/null 2>&1 &
    pid=$!
    sleep 0.5
    kill -TERM $pid
    wait $pid; rc=$?
    kill $holder 2>/dev/null
    left=$(find "$work/tmp" -maxdepth 1 -name 'desksim-*' | wc -l)
    check "SIGTERM while waiting for a key" 143 $rc "^0$" "$left"
fi

[ $failures -eq 0 ] || exit 1
