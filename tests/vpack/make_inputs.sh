#!/usr/bin/env bash
# Makes the inputs the vpack tests share, the same on every run: edge sizes, text, random bytes,
# runs, and 3 MB that fill the LZW string table several times over.
# Usage: make_inputs.sh DIR
set -euo pipefail
dir=${1:?usage: make_inputs.sh DIR}
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"
export LC_ALL=C # awk's %c writes single bytes

# words SEED BYTES: text of words from a small vocabulary, some with numbers, some lines.
words() {
    awk -v seed="$1" -v n="$2" 'BEGIN {
        srand(seed)
        k = split("the of and to in desk upgrade card file pack block code table stream " \
                  "group width clear ratio byte panel", w, " ")
        for (s = 0; s < n; s += length(x) + 1) {
            x = w[int(rand() * k) + 1]
            if (rand() < 0.3) x = x int(rand() * 1000)
            printf "%s%s", x, (rand() < 0.1 ? "\n" : " ")
        }
    }'
}
# bytes SEED COUNT: pseudo-random bytes.
bytes() { awk -v seed="$1" -v n="$2" 'BEGIN { srand(seed); for (i = 0; i < n; i++) printf "%c", int(rand() * 256) }'; }
# runs SEED COUNT: runs of 1 to 300 equal bytes.
runs() {
    awk -v seed="$1" -v n="$2" 'BEGIN {
        srand(seed)
        for (s = 0; s < n; s += r) {
            c = int(rand() * 256); r = int(rand() * 300) + 1
            for (i = 0; i < r; i++) printf "%c", c
        }
    }'
}

: >empty
printf 'x' >one.bin
printf 'ab' >two.bin
words 1 40000 >text.txt
seq 1 20000 >seq.txt
bytes 2 30000 >random.bin
head -c 1048576 /dev/zero >zeros.bin
runs 3 200000 >runs.bin
# These two fill the string table. The random stretch in the middle of big.mix drops the ratio,
# so compress clears the table there too: streams from both sides carry CLEAR codes.
{ words 4 1600000; bytes 6 300000; words 8 1200000; } >big.mix
bytes 5 300000 >bigrandom.bin
