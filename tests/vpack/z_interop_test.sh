#!/usr/bin/env bash
# .Z files and the LZW code stream against the system's compress, uncompress and gzip: what we
# write they read, what compress writes we read (as a .Z file and as the payload of a method 2
# or 3 block), byte for byte the same stream until the string table fills, and the .Z files we
# refuse.
# Usage: z_interop_test.sh VPACK_BINARY SCRATCH_DIR INPUTS_DIR
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

for tool in compress uncompress gzip; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (Debian: ncompress, gzip)"; exit 1; }
done

all=(empty one.bin two.bin text.txt seq.txt random.bin zeros.bin runs.bin big.mix bigrandom.bin)
# Inputs that never fill the string table; big.mix and bigrandom.bin fill it and force CLEAR.
unfilled=(empty one.bin two.bin text.txt seq.txt random.bin zeros.bin runs.bin)

start "uncompress and gzip -d read every .Z file vpack makes"
for input in "${all[@]}"; do
    run z "$inputs/$input" -o "$input.Z"
    [[ $rc == 0 ]] || fail "z $input"
    [[ $(head -c 3 "$input.Z" | od -An -tx1 | tr -d ' ') == 1f9d90 ]] || fail "$input: header"
    uncompress -c <"$input.Z" >"$input.unc" 2>uncompress.err
    cmp -s "$input.unc" "$inputs/$input" || fail "$input: uncompress differs ($(cat uncompress.err))"
    gzip -dc <"$input.Z" >"$input.gz" 2>gzip.err
    cmp -s "$input.gz" "$inputs/$input" || fail "$input: gzip -d differs ($(cat gzip.err))"
    rm -f "$input.unc" "$input.gz"
done
finish

start "the same bytes as compress while the table has room"
for input in "${unfilled[@]}"; do
    compress -c <"$inputs/$input" >"$input.c.Z"
    cmp -s "$input.c.Z" "$input.Z" || fail "$input: differs from compress: $(cmp "$input.c.Z" "$input.Z")"
done
finish

start "unz reads every .Z file compress makes, and its own"
for input in "${all[@]}"; do
    compress -c <"$inputs/$input" >"$input.c.Z"
    run unz "$input.c.Z" -o "$input.from-compress"
    [[ $rc == 0 ]] || fail "unz $input.c.Z"
    cmp -s "$input.from-compress" "$inputs/$input" || fail "$input: unz of compress output differs"
    run unz "$input.Z" -o -
    [[ $rc == 0 ]] && cmp -s out.txt "$inputs/$input" || fail "$input: unz of our own output differs"
    rm -f "$input.from-compress"
done
# The default output name drops the .Z.
cp text.txt.c.Z copy.Z
run unz copy.Z
expect_ok
expect_same copy "$inputs/text.txt"
finish

start "the code stream of compress unpacks as a method 2 and a method 3 block"
for input in "${all[@]}"; do
    [[ $input == empty ]] && continue
    length=$(size_of "$inputs/$input")
    for method in 2 3; do
        { block_header "$method" "$length"; tail -c +4 "$input.c.Z"; } >"$input.c.$method.pk"
        run unpack "$input.c.$method.pk" -o "$input.c.$method.out"
        [[ $rc == 0 ]] || fail "unpack of the compress stream of $input as method $method"
        cmp -s "$input.c.$method.out" "$inputs/$input" || fail "$input: method $method differs"
        rm -f "$input.c.$method.out"
    done
done
finish

start "uncompress reads the payload of our method 2 blocks"
for input in "${all[@]}"; do
    [[ $input == empty ]] && continue
    run pack -m 2 "$inputs/$input" -o "$input.2.pk"
    [[ $(byte_at "$input.2.pk" 0) == 2 ]] || continue # stored: LZW did not gain
    { printf '\037\235\220'; tail -c +6 "$input.2.pk"; } >"$input.2.Z"
    uncompress -c <"$input.2.Z" | cmp -s - "$inputs/$input" || fail "$input: uncompress differs"
    gzip -dc <"$input.2.Z" | cmp -s - "$inputs/$input" || fail "$input: gzip -d differs"
    # The payload is the stream z writes.
    cmp -s "$input.2.Z" "$input.Z" || fail "$input: method 2 payload differs from z"
done
[[ -f big.mix.2.Z && -f text.txt.2.Z ]] || fail "LZW did not gain on text"
finish

start "info on a .Z file tells its unpacked length"
run info big.mix.c.Z
expect_ok
expect_out "big.mix.c.Z: .Z file"
expect_out "unpacked     $(size_of "$inputs/big.mix") bytes"
expect_out "packed       $(size_of big.mix.c.Z) bytes ("
finish

start ".Z files that are not 16-bit block mode are refused"
compress -b12 -c <"$inputs/text.txt" >b12.Z
run unz b12.Z -o b12.out
expect_refusal "b12.Z: made with 12-bit codes; only 16-bit .Z files can be read"
run info b12.Z
expect_refusal "12-bit codes"
compress -C -c <"$inputs/text.txt" >noblock.Z
run unz noblock.Z -o noblock.out
expect_refusal "noblock.Z" "block mode"
{ printf '\037\235\360'; tail -c +4 text.txt.Z; } >flags.Z
run unz flags.Z -o flags.out
expect_refusal "flags.Z" "flags" "0xF0"
run unz "$inputs/text.txt" -o text.out
expect_refusal "not a .Z file"
printf '\037\235' >short.Z
run unz short.Z -o short.out
expect_refusal "short.Z" "cut short"
gzip -c <"$inputs/text.txt" >text.gz
run unz text.gz -o gz.out
expect_refusal "not a .Z file"
expect_absent b12.out noblock.out flags.out text.out short.out gz.out
finish

start "a damaged stream is refused without an output"
# A code above the next free one, after some good data.
{ head -c 1003 text.txt.Z; printf '\377\377\377\377\377\377\377\377\377'; } >damaged.Z
run unz damaged.Z -o damaged.out
expect_refusal "damaged.Z: damaged"
expect_absent damaged.out
expect_no_temporaries
finish

summary
