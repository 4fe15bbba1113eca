#!/usr/bin/env bash
# desksim panel in a real terminal (a tmux pane) on a desk while tolvanex runs on it: what the
# operator sees, what the panel keys do to the desk, and the terminal after each way out.
# Usage: panel_test.sh PATH/TO/desksim PATH/TO/tolvanex SCRATCH_DIR
set -uo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../lib/cases.sh"

usage="usage: panel_test.sh DESKSIM_BINARY TOLVANEX_BINARY SCRATCH_DIR"
desksim=$(realpath "${1:?$usage}") || exit 1
tolvanex=$(realpath "${2:?$usage}") || exit 1
scratch=${3:?$usage}
command -v tmux >/dev/null || { echo "FAIL: no tmux (scripts/setup.sh installs it)"; exit 1; }
rm -rf "$scratch"
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd -P) || exit 1
cd "$scratch" || exit 1

program_pid=""
tmx() { tmux -S "$scratch/tmux.socket" "$@"; }
cleanup() {
    tmx kill-server 2>/dev/null
    [[ -n $program_pid ]] && kill "$program_pid" 2>/dev/null
}
trap cleanup EXIT

# A shell without start-up files in a 100x30 terminal that says it is a "screen".
printf 'set -g default-terminal screen\nset -g history-limit 0\n' >tmux.conf
tmx -f tmux.conf new-session -d -s panel -x 100 -y 30 \
    "env -u DESKSIM PS1='$ ' bash --norc --noprofile" || { echo "FAIL: tmux cannot start"; exit 1; }
type_line() { tmx send-keys -t panel -l "$1" && tmx send-keys -t panel Enter; }
screen() { tmx capture-pane -p -t panel; }
shows() { screen | grep -qF -- "$1"; }
alternate_screen() { [[ $(tmx display-message -p -t panel '#{alternate_on}') == "$1" ]]; }
byte_at() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }
key_is() { [[ $(byte_at "$desk/card0.bin" "$1") == "$2" ]]; }
yes_key=$((0x9EE))
no_key=$((0x9ED))

# wait_for WHAT COMMAND...: until the command succeeds, 30 s at most (an emulated desksim starts
# slowly); a failure shows the screen.
wait_for() {
    local what=$1
    shift
    for _ in $(seq 600); do
        "$@" && return 0
        sleep 0.05
    done
    fail "gave up waiting for $what; the screen:"
    screen | sed 's/^/  | /'
    return 1
}

desk=$scratch/desk
"$desksim" new "$desk" >/dev/null || { echo "FAIL: desksim new"; exit 1; }
mkdir disk
cat >disk/tolvanex.des <<'EOF'
#PRINTLCD 0,waiting for answer
#PRINTDISPLAY Continue? (y/n)
#REQJUMP YES
#PRINTLCD 1,answered no
#END
#LABEL YES
#PRINTLCD 1,answered yes
#END
EOF
type_line "stty -a >stty-before.txt"
wait_for "stty" test -s stty-before.txt

# start_panel HOW: the panel in the pane, its process id in panel.pid and its exit status in
# status.txt when it ends.
start_panel() {
    rm -f status.txt panel.pid
    type_line "sh -c 'echo \$\$ >panel.pid; exec $1'; echo \$? >status.txt"
    wait_for "the panel" shows "Panel keys" || return
    alternate_screen 1 || fail "the panel is not on the alternate screen"
}

# ended_as STATUS: the panel ended with that status, let go of its keys and gave the terminal
# back as it was.
ended_as() {
    wait_for "the panel to end" test -s status.txt || return
    [[ $(<status.txt) == "$1" ]] || fail "the panel ended with status $(<status.txt), not $1"
    alternate_screen 0 || fail "the terminal was left on the alternate screen"
    key_is $yes_key 0 && key_is $no_key 0 || fail "a panel key was left down"
    rm -f stty-after.txt
    type_line "stty -a >stty-after.txt"
    wait_for "stty" test -s stty-after.txt || return
    diff stty-before.txt stty-after.txt >/dev/null || fail "terminal modes changed"
}

# Each step waits for what it caused; the first that never comes ends the walk.
walk_through() {
    start_panel "env DESKSIM=$desk $desksim panel" || return
    shows "S3-style chip, id 0x8811, revision 0x40" || fail "no graphics chip"
    shows "0x00: 131072  0xFF: 0  other: 0" || fail "no NVR counts"
    shows "none on the desk" || fail "a program is said to run"

    # tolvanex writes the LCD and waits for an answer, which the panel's y gives.
    (cd disk && DESKSIM=$desk exec "$tolvanex" >../program.out 2>&1 </dev/null) &
    program_pid=$!
    wait_for "the program's LCD line" shows "|waiting for answer  |" || return
    shows "process $program_pid runs on the desk" || fail "the program is not shown"
    tmx send-keys -t panel y
    wait_for "the program to take yes" shows "|answered yes" || return
    wait_for "the program to end" eval '! kill -0 $program_pid 2>/dev/null' || return
    wait "$program_pid"
    rc=$?
    program_pid=""
    ((rc == 0)) || fail "tolvanex ended with $rc: $(cat program.out)"
    wait_for "the momentary key to come up" key_is $yes_key 0 || return
    wait_for "the program to be gone" shows "none on the desk" || return

    # Another process changes the mailbox, the NVR and the card log.
    printf '\020\001' | dd of="$desk/card0.bin" conv=notrunc status=none
    printf 'ABCD' | dd of="$desk/nvr.bin" bs=1 seek=$((0x1FFFC)) conv=notrunc status=none
    { printf '\000\000\020\041\000\120\002\177\253\315'; head -c 254 /dev/zero; } \
        >"$desk/card-blocks.log"
    wait_for "the mailbox" shows "mailbox data block handed over (0x10)  error 0x01" || return
    wait_for "the NVR" shows "0x00: 131068  0xFF: 0  other: 4" || return
    shows "1FFF0  00 00 00 00 00 00 00 00 00 00 00 00 41 42 43 44  ............ABCD" ||
        fail "the NVR's last bytes are not shown"
    shows "1 taken, 0 rejected, 0 stalled" && shows "1  card 0  taken     data 0x10  P3 0x21" ||
        fail "the card log's block is not shown"

    # Held keys stay down until let go; r lets go of both.
    tmx send-keys -t panel Y
    wait_for "yes held" key_is $yes_key 1 || return
    tmx send-keys -t panel N
    wait_for "no held" key_is $no_key 1 || return
    wait_for "the held key shown" shows "held by the panel (N)" || return
    tmx send-keys -t panel r
    wait_for "r to let go" eval 'key_is $yes_key 0 && key_is $no_key 0' || return

    # Too small a terminal gets a message, and the panel comes back when it grows.
    tmx resize-window -t panel -x 60 -y 12
    wait_for "the size message" shows "needs a terminal of at least 80x" || return
    tmx resize-window -t panel -x 100 -y 30
    wait_for "the panel again" shows "Panel keys" || return

    # q ends it, and a key still held is let go.
    tmx send-keys -t panel N
    wait_for "no held" key_is $no_key 1 || return
    tmx send-keys -t panel q
    ended_as 0
}

# way_out WAY: Ctrl-C, or a signal that ends programs.
way_out() {
    start_panel "$desksim panel $desk" || return
    tmx send-keys -t panel Y
    wait_for "yes held" key_is $yes_key 1 || return
    if [[ $1 == C-c ]]; then
        tmx send-keys -t panel C-c
        ended_as 130
    else
        kill -s "$1" "$(<panel.pid)"
        ended_as $((128 + $(kill -l "$1")))
    fi
}

start "the panel shows the desk, live while tolvanex runs on it, and its keys answer"
walk_through
finish

# A panel left running by a failed case is ended, so that it takes no keys of the next one.
end_leftover() {
    [[ -f panel.pid && ! -s status.txt ]] || return 0
    kill "$(<panel.pid)" 2>/dev/null
    wait_for "the panel left over to end" test -s status.txt
}

for way in C-c TERM HUP QUIT; do
    end_leftover
    start "the panel ends on $way, lets go of its keys and gives the terminal back"
    way_out "$way"
    finish
done

end_leftover
start "without a terminal or a desk the panel refuses in one line"
for command in "panel $desk" "panel" "panel $scratch/disk"; do
    # shellcheck disable=SC2086 # the command's words
    env -u DESKSIM "$desksim" $command >out.txt 2>err.txt </dev/null
    rc=$?
    expect_rc 1
    expect_silent_stdout
    [[ $(wc -l <err.txt) == 1 ]] && grep -q '^desksim: ' err.txt || fail "$command: not one line"
done
finish

summary
