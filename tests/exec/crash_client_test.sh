#!/usr/bin/env bash
# A client program that faults, run as a real process on the default desk: the report on its
# standard output byte for byte (register values aside), the fault status, nothing left behind.
set -u
client=$1
work=$2
rm -rf "$work" && mkdir -p "$work/tmp"
failures=0
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

registers=$' EAX : 0xX   EBX : 0xX   ECX : 0xX   EDX : 0xX  \r\n ESI : 0xX   EDI : 0xX    DS : 0xX    ES : 0xX  \r\n'
# name, argument, position, the entries listed below it
cases=(
    "wild pointer inside a service|service|10003010|   0x00000000.\r\n"
    "wild pointer in the client's own code|own|00000000|"
)
for c in "${cases[@]}"; do
    IFS='|' read -r name argument position stack <<<"$c"
    TMPDIR="$work/tmp" "$client" "$argument" >"$work/out" 2>"$work/err"
    rc=$?
    [ "$rc" = 3 ] || fail "$name: status $rc, wanted 3"
    grep -q "processor exception 14" "$work/err" || fail "$name: stderr: $(cat "$work/err")"
    want=$(printf 'before the fault\ntext mode restored\nException 0E at 0x%s. \r\nError Code : 0x00000006.\r\n%sFunction Stack is : \r\n%b' \
        "$position" "$registers" "$stack")
    got=$(sed -E 's/ : 0x[0-9A-F]{8}  / : 0xX  /g' "$work/out")
    [ "$got" = "$want" ] || fail "$name: output differs:" $'\n'"$(diff <(echo "$want") <(echo "$got") | cat -A)"
    leftovers=$(ls -A "$work/tmp")
    [ -z "$leftovers" ] || fail "$name: left behind: $leftovers"
    [ "$failures" = 0 ] && echo "ok   $name"
done
exit $((failures > 0))
