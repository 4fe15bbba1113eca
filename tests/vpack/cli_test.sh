#!/usr/bin/env bash
# The vpack command line: usage errors, missing inputs, existing outputs, outputs that appear
# whole or not at all, progress on a terminal, and signals.
# Usage: cli_test.sh VPACK_BINARY SCRATCH_DIR INPUTS_DIR
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

cp "$inputs/text.txt" text.txt
cp "$inputs/seq.txt" seq.txt

start "a wrong command line is one line naming --help, with status 2"
expect_usage_errors "" "frobnicate x" "pack" "pack -m 7 text.txt" "pack -m lzw2 text.txt" \
    "unz a.Z b.Z"
expect_absent text.txt.pk
finish

start "help names every command"
run --help
expect_ok
for command in pack unpack info disk undisk z unz; do expect_out "  $command "; done
expect_out "Exit status"
finish

start "a missing input or a folder as input is refused"
for command in pack unpack z unz disk undisk info; do
    run "$command" missing_
    expect_refusal "missing_: No such file or directory"
done
run pack .
expect_refusal "is a folder"
run z text.txt -o text.txt/text.Z
expect_refusal "text.txt/text.Z"
finish

start "missing output folders are made"
run z text.txt -o new/a/text.Z
expect_ok
run disk text.txt seq.txt -o new/disk
expect_ok
run undisk new/disk/text.tx_ new/disk/seq.tx_ -o new/out/
expect_ok
cmp -s new/out/text.txt text.txt && cmp -s new/out/seq.txt seq.txt || fail "undisk into a new folder"
[[ -s new/a/text.Z ]] || fail "no new/a/text.Z"
finish

start "inputs of 4 GiB and more are refused before they are read"
if truncate -s 4G huge.bin 2>/dev/null; then
    for args in "pack huge.bin -o huge.out" "z huge.bin -o huge.out" "disk huge.bin"; do
        # shellcheck disable=SC2086
        run $args
        expect_refusal "huge.bin: is 4294967296 bytes; vpack takes files below 4 GiB"
    done
    expect_absent huge.out huge.bi_
    rm -f huge.bin
else
    echo "     (no sparse files here: skipped)"
fi
finish

start "an existing output is kept unless -f"
run pack text.txt -o text.pk && run unpack text.pk -o text.out && run z text.txt -o text.Z
for command in "pack text.txt -o seq.txt" "unpack text.pk -o seq.txt" "z text.txt -o seq.txt" \
    "unz text.Z -o seq.txt"; do
    # shellcheck disable=SC2086
    run $command
    expect_refusal "seq.txt: already exists (-f replaces it)"
    cmp -s seq.txt "$inputs/seq.txt" || fail "'$command' changed seq.txt"
done
cp text.txt report.txt
run disk report.txt
run disk report.txt
expect_refusal "report.tx_: already exists"
cp report.tx_ keep.tx_
run undisk report.tx_
expect_refusal "report.txt: already exists"
run undisk -f report.tx_
expect_ok
expect_same report.txt text.txt
run unpack -f text.pk -o seq.txt
expect_ok
expect_same seq.txt text.txt
expect_no_temporaries
finish

start "a failed command leaves an existing output as it was"
cp "$inputs/seq.txt" kept.txt
head -c 500 text.pk >cut.pk
run unpack -f cut.pk -o kept.txt
expect_refusal "cut.pk: damaged"
expect_same kept.txt "$inputs/seq.txt"
printf '\037\235\220\377\377\377\377' >bad.Z
run unz -f bad.Z -o kept.txt
expect_refusal "bad.Z: damaged"
expect_same kept.txt "$inputs/seq.txt"
expect_no_temporaries
finish

start "a desk named in DESKSIM is not needed, even a broken one"
mkdir -p brokendesk
echo 'nvr.size_kib = 256' >brokendesk/desk.toml
DESKSIM=$PWD/brokendesk "$vpack" pack -f text.txt -o desk.pk >out.txt 2>err.txt </dev/null
rc=$?
expect_ok
[[ $(ls brokendesk) == desk.toml ]] || fail "the desk folder was touched: $(ls brokendesk)"
finish

cat "$inputs/big.mix" "$inputs/big.mix" >big6.txt # over the 4 MiB where progress starts

start "progress is shown on a terminal only"
run z big6.txt -o big6.Z
expect_ok
if command -v script >/dev/null; then
    script -qec "'$vpack' pack -f big6.txt -o big6.pk" /dev/null </dev/null >tty.txt 2>&1
    rc=$?
    expect_rc 0
    grep -qa $'\rvpack: big6.txt: reading [0-9]*%' tty.txt || fail "no reading percentage"
    grep -qa $'\rvpack: big6.txt: packing: LZW' tty.txt || fail "no packing step"
    grep -qa 'big6.pk: LZW' tty.txt || fail "no summary"
    script -qec "'$vpack' pack -f text.txt -o text.pk" /dev/null </dev/null >tty.txt 2>&1
    grep -qa 'reading' tty.txt && fail "progress for a small input"
else
    echo "     (no script command: the terminal half is skipped)"
fi
finish

# Not in a sanitizer build under the i386 emulator, where ASan misreads the watcher thread's
# handler.
if [[ -n ${DESK_SANITIZED:-} && -n ${DESK_EMULATED_I386:-} ]]; then
    echo "     (a signal: skipped with the sanitizers under the i386 emulator)"
else
    start "a signal removes the temporary output and the temporary desk"
    mkdir -p tmp sig
    mkfifo sig/slow.txt
    TMPDIR=$PWD/tmp "$vpack" disk text.txt sig/slow.txt -o sig >out.txt 2>err.txt </dev/null &
    pid=$!
    exec 3>sig/slow.txt # vpack now waits in its read of the second file
    for _ in $(seq 200); do
        compgen -G 'sig/.slow.tx_.vpack-*' >/dev/null && break
        sleep 0.05
    done
    compgen -G 'sig/.slow.tx_.vpack-*' >/dev/null || fail "no temporary output while reading"
    kill -TERM "$pid"
    wait "$pid"
    rc=$?
    exec 3>&-
    expect_rc 143
    [[ -f sig/text.tx_ ]] || fail "the first file was not made"
    expect_absent sig/slow.tx_
    expect_no_temporaries
    [[ -z $(ls -A tmp) ]] || fail "left in TMPDIR: $(ls -A tmp)"
    finish
fi

start "a reader that goes away ends vpack as SIGPIPE does, leaving nothing behind"
mkdir -p pipe
head -c 300000 /dev/urandom >pipe/noise.bin
TMPDIR=$PWD/pipe "$vpack" pack -m stored pipe/noise.bin -o - 2>err.txt </dev/null | head -c 20 >/dev/null
rc=${PIPESTATUS[0]}
expect_rc 141
[[ -s err.txt ]] && fail "a message for a closed pipe: $(cat err.txt)"
[[ $(ls -A pipe) == noise.bin ]] || fail "left in TMPDIR: $(ls -A pipe)"
finish

summary
