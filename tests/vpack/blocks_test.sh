#!/usr/bin/env bash
# vpack pack, unpack and info on packed blocks: every method on every kind of input, the choice
# of best, what info tells, and damaged blocks.
# Usage: blocks_test.sh VPACK_BINARY SCRATCH_DIR INPUTS_DIR
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

nonempty=(one.bin two.bin text.txt seq.txt random.bin zeros.bin runs.bin big.mix bigrandom.bin)

start "every method gives back every input, with the length in the header"
for input in "${nonempty[@]}"; do
    for method in 0 1 2 3 best; do
        run pack -m "$method" "$inputs/$input" -o "$input.$method.pk"
        [[ $rc == 0 ]] || fail "pack -m $method $input"
        run unpack "$input.$method.pk" -o "$input.$method.out"
        [[ $rc == 0 ]] || fail "unpack -m $method $input"
        cmp -s "$inputs/$input" "$input.$method.out" || fail "-m $method $input: round trip differs"
        [[ $(header_length "$input.$method.pk" 0) == $(size_of "$inputs/$input") ]] ||
            fail "-m $method $input: header length"
        used=$(byte_at "$input.$method.pk" 0)
        case $method in
        best) [[ $used -le 3 ]] ;;
        *) [[ $used == "$method" || $used == 0 ]] ;;
        esac || fail "-m $method $input: method byte $used"
        if [[ $used == 0 ]]; then
            [[ $(size_of "$input.$method.pk") == $(($(size_of "$inputs/$input") + 5)) ]] ||
                fail "-m $method $input: a stored block is the data and 5 bytes"
        fi
        rm -f "$input.$method.out"
    done
done
finish

start "best keeps the smallest block, the lower method on a tie"
for input in "${nonempty[@]}"; do
    smallest=""
    for method in 0 1 2 3; do
        size=$(size_of "$input.$method.pk")
        if [[ -z $smallest ]] || ((size < smallest)); then
            smallest=$size
            winner=$method
        fi
    done
    cmp -s "$input.best.pk" "$input.$winner.pk" ||
        fail "$input: best is not the block of method $winner ($smallest bytes)"
done
# The text packs smaller with LZW than stored; both LZW methods tie, so 2 wins over 3.
[[ $(byte_at big.mix.best.pk 0) == 2 ]] || fail "big.mix: best used method $(byte_at big.mix.best.pk 0)"
finish

start "names the method used and says when the chosen one did not gain"
run pack -m huffman "$inputs/bigrandom.bin" -o r.pk
expect_ok
expect_out "r.pk: stored, 300000 -> 300005 bytes (100.0%); Huffman does not make it smaller"
run pack -m lzw "$inputs/big.mix" -o t.pk
expect_ok
expect_out "t.pk: LZW, $(size_of "$inputs/big.mix") -> "
expect_out " bytes ("
run pack "$inputs/text.txt" -o best.pk
expect_ok
grep -q "does not make it smaller" out.txt && fail "best never complains of a method"
# The default output name is the input's with .pk added.
cp "$inputs/seq.txt" .
run pack seq.txt
expect_ok
expect_out "seq.txt.pk: "
run unpack seq.txt.pk -o seq.again
expect_ok
expect_silent_stdout
expect_same seq.txt seq.again
finish

start "standard output as the output"
run pack -m 2 "$inputs/text.txt" -o -
expect_rc 0
cmp -s out.txt text.txt.2.pk || fail "the block on stdout differs from the file"
cp text.txt.2.pk text.pk
run unpack text.pk -o -
expect_rc 0
cmp -s out.txt "$inputs/text.txt" || fail "the data on stdout differs"
finish

start "info tells method, lengths and ratio"
run info seq.txt.2.pk bigrandom.bin.1.pk
expect_ok
expect_out "seq.txt.2.pk: packed block"
expect_out "method       2 (LZW)"
expect_out "unpacked     108894 bytes"
expect_out "block        $(size_of seq.txt.2.pk) bytes ("
expect_out "bigrandom.bin.1.pk: packed block"
expect_out "method       0 (stored)"
expect_out "block        300005 bytes (100.0% of unpacked)"
finish

start "info reports a bad file in one line and still shows the others"
run info "$inputs/text.txt" seq.txt.1.pk missing.pk
expect_rc 1
expect_out "seq.txt.1.pk: packed block"
[[ $(wc -l <err.txt) == 2 ]] || fail "expected one line per bad file"
grep -qF "text.txt: not a packed block (method byte 0x" err.txt || fail "text.txt not refused"
grep -qF "missing.pk: No such file" err.txt || fail "missing.pk not refused"
finish

# damaged NAME REASON...: unpack of NAME fails with REASON and leaves no output behind.
damaged() {
    local name=$1
    shift
    run unpack "$name" -o "$name.out"
    expect_refusal "$name" "$@"
    expect_absent "$name.out"
}

start "damaged blocks are refused, never unpacked into an output"
text_size=$(size_of "$inputs/text.txt")
head -c 4 text.txt.0.pk >short.pk
damaged short.pk "too short"
head -c 1000 text.txt.0.pk >cut0.pk
damaged cut0.pk "stored block holds 995 bytes, its header says $text_size"
{ cat text.txt.0.pk; printf 'x'; } >long0.pk
damaged long0.pk "stored block holds $((text_size + 1)) bytes"
head -c 1000 text.txt.1.pk >cut1.pk
damaged cut1.pk "damaged" "Huffman"
head -c 7 text.txt.1.pk >cut1table.pk
damaged cut1table.pk "Huffman code table"
# An LZW stream that stops early gives too few bytes; one with more codes gives too many.
head -c 1000 text.txt.2.pk >cut2.pk
damaged cut2.pk "code stream gives" "its header says $text_size"
{ block_header 3 10; tail -c +6 text.txt.2.pk; } >extra3.pk
damaged extra3.pk "code stream gives $text_size bytes, its header says 10"
{ block_header 2 5; printf '\377\377\377'; } >badcode.pk
damaged badcode.pk "damaged"
{ block_header 255 5; printf 'hello'; } >ff.pk
damaged ff.pk "0xFF" "without an unpacked length"
{ block_header 4 5; printf 'hello'; } >four.pk
damaged four.pk "method byte 0x04 names no method"
expect_no_temporaries
finish

start "a stored block of nothing unpacks to an empty file"
block_header 0 0 >nothing.pk
run unpack nothing.pk -o nothing
expect_ok
[[ -f nothing && ! -s nothing ]] || fail "expected an empty output file"
finish

summary
