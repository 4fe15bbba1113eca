#!/usr/bin/env bash
# vpack disk and undisk: packed disk files (NAME_ with the name byte first, then a block), the
# names they get and install as, and what is refused.
# Usage: disk_test.sh VPACK_BINARY SCRATCH_DIR INPUTS_DIR
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

mkdir -p src disk out
cp "$inputs/text.txt" src/report.txt
cp "$inputs/bigrandom.bin" src/noise.bin
cp "$inputs/one.bin" src/a
printf 'README body\n' >src/README

start "disk writes the name byte, then the block pack writes"
run disk -m 1 src/report.txt -o disk
expect_ok
expect_out "disk/report.tx_: installs as report.txt; Huffman, $(size_of src/report.txt) -> "
[[ $(byte_at disk/report.tx_ 0) == $(printf %d "'t") ]] || fail "byte 0 is not 't'"
run pack -m 1 src/report.txt -o report.pk
tail -c +2 disk/report.tx_ >block.pk
expect_same block.pk report.pk
finish

start "disk names: the last character becomes '_', beside the input by default"
run disk src/README src/a src/noise.bin
expect_ok
[[ -f src/READM_ && -f src/_ && -f src/noise.bi_ ]] || fail "packed files missing: $(ls src)"
[[ $(byte_at src/READM_ 0) == $(printf %d "'E") ]] || fail "README: byte 0"
[[ $(byte_at src/_ 0) == $(printf %d "'a") ]] || fail "a: byte 0"
# Random bytes do not pack: best stores them.
[[ $(byte_at src/noise.bi_ 1) == 0 ]] || fail "noise.bin: expected a stored block"
[[ $(wc -l <out.txt) == 3 ]] || fail "expected one line per file"
finish

start "undisk installs under the name byte's name, as the desk does"
run undisk src/READM_ src/_ src/noise.bi_ disk/report.tx_ -o out
expect_ok
expect_same out/README src/README
expect_same out/a src/a
expect_same out/noise.bin src/noise.bin
expect_same out/report.txt src/report.txt
expect_out "disk/report.tx_: installed as out/report.txt ($(size_of src/report.txt) bytes)"
# Without -o, beside the packed file; with -o FILE, that file.
cp disk/report.tx_ report.tx_
run undisk report.tx_
expect_ok
expect_same report.txt src/report.txt
run undisk report.tx_ -o elsewhere.txt
expect_ok
expect_same elsewhere.txt src/report.txt
finish

start "every method survives disk and undisk, and info shows the installed name"
for method in 0 1 2 3; do
    rm -rf "m$method" && mkdir "m$method"
    run disk -m "$method" src/report.txt "$inputs/big.mix" -o "m$method"
    [[ $rc == 0 ]] || fail "disk -m $method"
    run undisk "m$method/report.tx_" "m$method/big.mi_" -o "m$method"
    [[ $rc == 0 ]] || fail "undisk -m $method"
    cmp -s "m$method/report.txt" src/report.txt || fail "-m $method: report.txt differs"
    cmp -s "m$method/big.mix" "$inputs/big.mix" || fail "-m $method: big.mix differs"
done
run info m2/big.mi_
expect_ok
expect_out "m2/big.mi_: packed disk file"
expect_out "installs as  big.mix"
expect_out "method       2 (LZW)"
expect_out "unpacked     $(size_of "$inputs/big.mix") bytes"
expect_out "block        $(($(size_of m2/big.mi_) - 1)) bytes ("
finish

start "disk refuses names ending in '_' and empty files"
printf 'data' >src/odd_
: >src/empty.txt
run disk src/odd_ -o disk
expect_refusal "odd_" "ends in '_' already"
run disk src/empty.txt -o disk
expect_refusal "empty.txt" "is empty"
expect_absent disk/odd_ disk/empty.tx_ disk/empty.txt
finish

start "with several files, each failure is one line and the rest are still made"
rm -rf several && mkdir several
run disk src/README src/odd_ src/missing src/a -o several
expect_rc 1
[[ $(wc -l <err.txt) == 2 ]] || fail "expected two lines on stderr"
grep -qF "odd_" err.txt && grep -qF "src/missing" err.txt || fail "the failures are not named"
[[ -f several/READM_ && -f several/_ ]] || fail "the good files were not made"
finish

start "undisk refuses files that are not packed disk files"
run undisk src/README -o out
expect_refusal "README" "does not end in '_'"
# Byte 0 decides the installed name: it must not lead out of the folder.
{ printf '/'; tail -c +2 src/READM_; } >slash_
run undisk slash_
expect_refusal "slash_" "byte 0 (0x2F) cannot end a file name"
{ printf '\n'; tail -c +2 src/READM_; } >newline_
run undisk newline_
expect_refusal "byte 0 (0x0A)"
{ printf '.'; tail -c +2 src/READM_; } >._
run undisk ._
expect_refusal "names a folder"
# With -o FILE the name byte is not used for the name.
run undisk slash_ -o fine.txt
expect_ok
expect_same fine.txt src/README
: >nothing_
run undisk nothing_
expect_refusal "nothing_" "is empty"
printf 'x\377\0\0\0\0' >ff_
run undisk ff_ -o ff.out
expect_refusal "0xFF"
expect_absent ff.out
run undisk src/READM_ src/_ -o single.txt
expect_refusal "-o must name a folder"
expect_no_temporaries
finish

summary
