#!/usr/bin/env bash
# rsctool: files in and out of a resource file byte for byte, plain and packed; the file's
# layout after each change; usage errors, refusals and existing outputs.
# Usage: rsctool_test.sh RSCTOOL_BINARY SCRATCH_DIR
set -uo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../lib/cases.sh"

rsctool=${1:?usage: $0 RSCTOOL_BINARY SCRATCH_DIR}
scratch=${2:?usage: $0 RSCTOOL_BINARY SCRATCH_DIR}
[[ $rsctool == /* ]] || rsctool=$PWD/$rsctool
rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch" || exit 1

tool_program=$rsctool
tool_name=rsctool

expect_unchanged() { cmp -s "$1" "$2" || fail "$1 changed"; }

mkdir -p files
printf 'hello, desk\n' >files/text.txt
: >files/empty.bin
head -c 3000 /dev/urandom >files/noise.bin
for i in $(seq 400); do echo "line $i of a text that repeats itself"; done >files/long.txt
seq 1 5000 >files/numbers.txt

start "create makes the bare 14-byte file, and keeps an existing one unless -f"
run create game.rsc
expect_ok
[[ $(od -An -c game.rsc | tr -s ' ') == " Q 5 V R S C 003 \0 \0 \0 \0 \0 \0 \0" ]] ||
    fail "header: $(od -An -tx1 game.rsc)"
cp game.rsc before.rsc
run create game.rsc
expect_refusal "game.rsc: already exists (-f replaces it)"
run create -f game.rsc
expect_ok
finish

start "a folder of files goes in plain and packed and comes out byte for byte"
id=0
for f in files/*; do
    id=$((id + 1))
    run add game.rsc "FILE:$id" "$f"
    expect_ok
done
methods=(stored huffman lzw lzw-sized best)
m=0
for f in files/text.txt files/noise.bin files/long.txt files/numbers.txt; do
    run add game.rsc -m "${methods[m]}" "PACK:$m" "$f"
    expect_ok
    m=$((m + 1))
done
run list game.rsc
expect_ok
expect_out "9 entries"
grep -qE '^PACK +2 +[0-9]+  packed, LZW, [0-9]+ bytes unpacked' out.txt || fail "no LZW entry"
grep -qE '^FILE +1 +0  plain' out.txt || fail "the empty file is not listed"
id=0
for f in files/*; do
    id=$((id + 1))
    run extract game.rsc "FILE:$id" -o "back.$id"
    expect_ok
    expect_unchanged "back.$id" "$f"
done
m=0
for f in files/text.txt files/noise.bin files/long.txt files/numbers.txt; do
    run extract game.rsc -u "PACK:$m" -o "unpacked.$m"
    expect_ok
    expect_unchanged "unpacked.$m" "$f"
    m=$((m + 1))
done
run extract game.rsc FILE:5
expect_ok
expect_unchanged out.txt files/text.txt
expect_no_temporaries
finish

start "delete and index keep the other entries readable"
cp game.rsc full.rsc
size=$(stat -c %s game.rsc)
run delete game.rsc FILE:2
expect_ok
[[ $(stat -c %s game.rsc) == "$size" ]] || fail "the file's length changed"
run index game.rsc
expect_ok
[[ $(od -An -tu1 -j7 -N1 game.rsc | tr -d ' ') == 1 ]] || fail "no index mark"
run extract game.rsc -u PACK:3 -o again.3
expect_ok
expect_unchanged again.3 files/numbers.txt
run list game.rsc
expect_out "8 entries"
grep -qE "^FILE +2 " out.txt && fail "FILE:2 is still listed"
finish

start "plain bytes that look like a packed header of any length are listed as plain"
printf '\001\377\377\377\377abc' >files/fake.bin
run create fake.rsc
run add fake.rsc FAKE:1 files/fake.bin
expect_ok
run list fake.rsc
expect_ok
grep -qE "^FAKE +1 +8  plain$" out.txt || fail "not listed as plain"
run extract fake.rsc -u FAKE:1 -o fake.out
expect_refusal "FAKE:1: not a packed entry"
finish

start "refusals leave the resource file as it was"
cp game.rsc kept.rsc
run add game.rsc FILE:1 files/text.txt
expect_refusal "FILE:1: already exists (-f replaces it)"
run delete game.rsc FILE:2
expect_refusal "FILE:2: no such entry"
run extract game.rsc FILE:9
expect_refusal "FILE:9: no such entry"
run extract game.rsc -u FILE:5
expect_refusal "not a packed entry"
run add game.rsc FILE:1 missing.txt
expect_refusal "missing.txt: No such file or directory"
run add game.rsc -m lzw EMPT:1 files/empty.bin
expect_refusal "empty"
expect_unchanged game.rsc kept.rsc
run extract game.rsc FILE:5 -o files/text.txt
expect_refusal "already exists (-f replaces it)"
run add -f game.rsc FILE:1 files/text.txt
expect_ok
run extract game.rsc FILE:1 -o replaced
expect_unchanged replaced files/text.txt
expect_no_temporaries
finish

start "files that are not resource files are refused"
printf 'Q5VRSC\004\0\0\0\0\0\0\0' >v4.rsc
printf 'Q5VRSC\003\0\0\0\0\0\002\0AAAA\001\0\377\377\377\377' >cut.rsc
for f in v4.rsc files/text.txt; do
    run list "$f"
    expect_refusal "$f: not a resource file"
done
run list cut.rsc
expect_refusal "cut.rsc: damaged"
run index cut.rsc
expect_refusal "cut.rsc: damaged"
run list missing.rsc
expect_refusal "missing.rsc: No such file or directory"
finish

start "a wrong command line is one line naming --help, with status 2"
expect_usage_errors "" "frobnicate" "list" "add game.rsc" "add game.rsc -m zip A:1 files/text.txt" \
    "delete game.rsc FILE:1 extra"
for name in "TYPES:1" "A:65536" "A:" ":1" "A:x"; do
    run delete game.rsc "$name"
    expect_refusal "$name: not an entry name"
done
run --help
expect_ok
for command in create list add extract delete index; do expect_out "  $command "; done
expect_out "Exit status"
run --version
expect_ok
expect_out "runtime library 3.7.1"
finish

summary
