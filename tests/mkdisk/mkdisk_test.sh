#!/usr/bin/env bash
# Runs mkdisk as a disk builder would and checks the disk folders it makes, its findings and its
# exit status.
# Usage: mkdisk_test.sh PATH/TO/mkdisk SCRATCH_DIR
set -uo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../lib/cases.sh"

mkdisk=${1:?usage: mkdisk_test.sh MKDISK_BINARY SCRATCH_DIR}
mkdisk=$(cd "$(dirname "$mkdisk")" && pwd -P)/$(basename "$mkdisk")
scratch=${2:?usage: mkdisk_test.sh MKDISK_BINARY SCRATCH_DIR}
enter_scratch "$scratch"

run() {
    env -u DESKSIM "$mkdisk" "$@" >out.txt 2>err.txt </dev/null
    rc=$?
}
# run_in FOLDER ARGS...: run, started in FOLDER.
run_in() {
    local folder=$1
    shift
    (cd "$folder" && exec env -u DESKSIM "$mkdisk" "$@") >out.txt 2>err.txt </dev/null
    rc=$?
}
# snapshot FOLDER: a digest of every path below FOLDER and every file's bytes.
snapshot() {
    (cd "$1" && find . -printf '%y %p\n' | sort && find . -type f -print0 | sort -z | xargs -0 -r cat) |
        md5sum
}
# What a build makes on the way and must not leave: new disks beside old ones, temporary files,
# the desk's temporary folders.
expect_no_leftovers() {
    local left
    left=$(find . -name '.*.mkdisk-*' -o -name '.*.vpack-*'; ls -A "$TMPDIR")
    [[ -z $left ]] || fail "left behind: $left"
}
# record N FILE: the path and checksum of record N (0-based) of a checksum list.
record() {
    local path sum
    path=$(dd if="$2" bs=129 skip="$1" count=1 2>/dev/null | head -c 128 | tr -d '\0')
    sum=$(dd if="$2" bs=1 skip=$(($1 * 129 + 128)) count=1 2>/dev/null | od -An -tu1 | tr -d ' ')
    printf '%s %s' "$path" "$sum"
}

mkdir -p src/DATA src/BIN
printf '\x01\x02\xff' >src/DATA/SMALL.BIN
for i in $(seq 1 200); do echo "line $i of the release notes, the same words again"; done >src/DATA/NOTES.TXT
head -c 5000 /dev/zero | tr '\0' 'z' >src/BIN/APP.EXE
cat >src/tolvanex.des <<'SCRIPT'
#CHECKSUMALLFILES bad
#COPY bad,A:\DATA\*.* C:\
#COPY bad,A:\BIN\APP.EX_ C:\
#END
#LABEL bad
#PRINTERRORCODE
#END
SCRIPT

start "build packs the chosen files and lists every file"
run build src disk --pack '*.exe' -m huffman
expect_rc 0
expect_no_err
[[ -f disk/BIN/APP.EX_ && ! -e disk/BIN/APP.EXE ]] || fail "APP.EXE not packed as APP.EX_"
[[ $(head -c 2 disk/BIN/APP.EX_ | od -An -c | tr -d ' ') == "E001" ]] || fail "packed file does not start with E, method 1"
cmp -s src/DATA/NOTES.TXT disk/DATA/NOTES.TXT || fail "plain file changed"
[[ $(stat -c %s disk/checksum.dat) == $((4 * 129)) ]] || fail "checksum.dat is not 4 records"
[[ $(record 0 disk/checksum.dat) == 'BIN\APP.EX_ '* ]] || fail "record 0: $(record 0 disk/checksum.dat)"
[[ $(record 2 disk/checksum.dat) == 'DATA\SMALL.BIN 2' ]] || fail "record 2: $(record 2 disk/checksum.dat)"
grep -q 'APP.EX_.*Huffman' out.txt || fail "packing not reported"
finish

start "check passes a good disk"
run check disk
expect_rc 0
grep -q "no problems found" out.txt || fail "no all-clear"
finish

start "check finds a changed file, an unlisted file and a listed file that is gone"
printf 'x' >>disk/DATA/NOTES.TXT
echo extra >disk/EXTRA.TXT
rm disk/DATA/SMALL.BIN
run check disk
expect_rc 1
expect_err 'DATA\NOTES.TXT: the checksum differs'
expect_err 'DATA\SMALL.BIN: listed in checksum.dat but not on the disk'
expect_err 'note: EXTRA.TXT is not in checksum.dat'
finish

start "sums rewrites the list from the files"
run sums disk
expect_rc 0
run check disk
expect_rc 0
finish

start "sums puts a new checksum.dat in place of the old, whose other names keep it"
cp disk/checksum.dat before.dat
ln disk/checksum.dat hard-link.dat
printf 'y' >>disk/DATA/NOTES.TXT
run sums disk
expect_rc 0
cmp -s hard-link.dat before.dat || fail "the list was written through its hard link"
cmp -s disk/checksum.dat before.dat && fail "the list was not rewritten"
cp before.dat outside.dat
rm disk/checksum.dat
ln -s ../outside.dat disk/checksum.dat
run sums disk
expect_rc 0
cmp -s outside.dat before.dat || fail "the list was written through its symbolic link"
[[ -f disk/checksum.dat && ! -L disk/checksum.dat ]] || fail "checksum.dat is still a link"
run check disk
expect_rc 0
finish

start "script problems: a missing label and a source missing from the list"
mkdir -p src2
cp -R src/. src2/
cat >src2/tolvanex.des <<'SCRIPT'
#COPY failed,A:\DATA\*.* C:\
#COPY failed,NOTES.TXT C:\
#JUMP nowhere
#LABEL failed
#END
SCRIPT
run build src2 disk2
expect_rc 1
expect_err 'tolvanex.des:2: #COPY source '\''NOTES.TXT'\'' matches no file on the disk'
expect_err "tolvanex.des:3: #JUMP names the label 'nowhere'"
[[ -f disk2/checksum.dat ]] || fail "the disk was not written"
finish

start "check: a COPY source on the disk but missing from checksum.dat"
echo "added late" >disk2/DATA/LATE.TXT
printf '#COPY failed,A:\\DATA\\LATE.TXT C:\\\n#LABEL failed\n#END\n' >disk2/late.des
run check disk2 -s late.des
expect_rc 1
expect_err "late.des:1: #COPY of A:\DATA\LATE.TXT: 'DATA\LATE.TXT' is not in checksum.dat"
finish

start "refusals: non-empty disk, clashing packed names, a plain name ending in '_'"
run build src disk
expect_rc 1
expect_err "disk is not empty (--force replaces a disk folder that mkdisk made)"
mkdir -p src3
echo a >src3/REPORT.TXT
echo b >src3/REPORT.TXY
echo c >src3/ODD.DA_
printf '#END\n' >src3/tolvanex.des
run build src3 disk3 --pack 'REPORT.*'
expect_rc 1
expect_err "would both be REPORT.TX_"
expect_err "ODD.DA_: ends in '_'"
run build src3 disk3 --force -m 9
expect_rc 2
expect_err "mkdisk: --method: 9 not in"
finish

start "a linked source file is on the disk under its own name, and nothing is written outside"
mkdir -p src5/DOCS outside
echo "kept outside" >outside/TARGET.TXT
ln -s ../../outside/TARGET.TXT src5/DOCS/LINKED.TXT
printf '#END\n' >src5/tolvanex.des
run build src5 disk5 --pack 'LINKED.TXT'
expect_rc 0
[[ -f disk5/DOCS/LINKED.TX_ ]] || fail "the linked file is not on the disk as DOCS\LINKED.TX_"
[[ $(record 0 disk5/checksum.dat) == 'DOCS\LINKED.TX_ '* ]] || fail "record 0: $(record 0 disk5/checksum.dat)"
[[ $(ls outside) == TARGET.TXT ]] || fail "written outside the disk: $(ls outside)"
finish

start "--pack wildcards mean what they mean on the desk"
mkdir -p src6/BIN/SUB
echo notes >src6/README
echo lib >src6/BIN/SUB/A.DLL
printf '#END\n' >src6/tolvanex.des
run build src6 disk6 --pack 'readme.*' --pack 'BIN\*'
expect_rc 0
[[ -f disk6/READM_ ]] || fail "README not packed by 'readme.*'"
[[ -f disk6/BIN/SUB/A.DLL ]] || fail "BIN\SUB\A.DLL packed by 'BIN\*'"
finish

start "a disk folder that is, lies inside or holds the source is refused before anything changes"
mkdir -p work/release/SUB
echo a >work/release/A.TXT
echo b >work/release/SUB/B.TXT
printf '#END\n' >work/release/tolvanex.des
ln -s work link-to-work
before=$(snapshot work)
# Each row: the folder mkdisk starts in | SOURCE | DISK
for row in 'work|release|.' 'work|release|./release/../release' 'work|release|release/SUB' \
    'work|release|release/NEW' 'work/release|.|SUB/../NEW' '.|work/release|link-to-work' \
    '.|link-to-work/release|work/release/NEW'; do
    IFS='|' read -r folder source disk <<<"$row"
    run_in "$folder" build "$source" "$disk" --force
    expect_rc 1
    [[ $(wc -l <err.txt) == 1 ]] && grep -q '^mkdisk: the disk folder .* the source folder' err.txt ||
        fail "$row: not one line naming the clash"
    [[ $(snapshot work) == "$before" ]] || fail "$row: the folders changed"
done
expect_no_leftovers
finish

start "--force replaces only a disk folder that mkdisk made"
# expect_force_refused FOLDER WHY: build --force into FOLDER is refused for WHY, nothing changed.
expect_force_refused() {
    local before
    before=$(snapshot "$1")
    run build src "$1" --force
    expect_rc 1
    expect_err "$1 is not a disk folder that mkdisk made ($2)"
    [[ $(snapshot "$1") == "$before" ]] || fail "$1 changed"
}
run build src6 disk7
expect_rc 0
echo "by hand" >disk7/EXTRA.TXT
expect_force_refused disk7 "EXTRA.TXT is not in checksum.dat"
mkdir -p home
echo "PATH=/bin" >home/.profile
echo "notes" >home/notes.txt
expect_force_refused home "it holds no checksum.dat"
# The list names files without regard to case; a link to a disk leads to the disk replaced.
rm disk7/EXTRA.TXT
mv disk7/README disk7/readme
ln -s disk7 disk7-link
run build src5 disk7-link --force
expect_rc 0
[[ -L disk7-link && -f disk7/DOCS/LINKED.TXT && ! -e disk7/readme ]] ||
    fail "the disk behind the link was not replaced"
mkdir empty
run build src6 empty
expect_rc 0
expect_no_leftovers
finish

start "a failed build leaves the old disk as it was, and nothing behind"
mkdir -p src9
head -c 3000000 /dev/zero >src9/BIG.BIN
before=$(snapshot disk7)
# Files over 2 MiB cannot be written: the disk's BIG.BIN fails.
(ulimit -f 2048 && trap '' XFSZ && exec env -u DESKSIM "$mkdisk" build src9 disk7 --force) \
    >out.txt 2>err.txt </dev/null
rc=$?
expect_rc 1
expect_err "BIG.BIN"
[[ $(snapshot disk7) == "$before" ]] || fail "the old disk changed"
expect_no_leftovers
finish

start "a signal stops the build: the old disk stays as it was, nothing is left, status 128 + N"
mkdir -p src10
echo a >src10/A.TXT
seed=$(seq 1 5000)
for i in $(seq 100 499); do printf '%s\n' "$seed" >"src10/F$i.DAT"; done
printf '#END\n' >src10/tolvanex.des
env -u DESKSIM "$mkdisk" build src10 disk7 --force -m best --pack '*.DAT' >out.txt 2>err.txt </dev/null &
pid=$!
# The first file in the new folder: hundreds of packed ones are still to come.
for _ in $(seq 100000); do
    compgen -G '.disk7.mkdisk-*/A.TXT' >/dev/null || ! kill -0 $pid 2>/dev/null && break
done
kill -TERM $pid
wait $pid
rc=$?
expect_rc 143
[[ $(snapshot disk7) == "$before" ]] || fail "the old disk changed"
expect_no_leftovers
finish

start "a closed standard output does not end the build"
env -u DESKSIM "$mkdisk" build src6 disk10 2>err.txt </dev/null | true
rc=${PIPESTATUS[0]}
expect_rc 0
[[ $(stat -c %s disk10/checksum.dat) == $((3 * 129)) ]] || fail "the disk is not complete"
finish

start "card images: a description writes an image, show gives it back, a cut image is refused"
mkdir -p card
head -c 600 /dev/urandom >card/fw.bin
cat >card/card.txt <<'DESC'
# the loader, then its firmware and a cleared block
text PCIF loader 2.1 \\x41 \x41\x20
target 0x21
block a=0x01 b=0x02 data=0102ff
block a=1 b=2 file=fw.bin
zeros a=0x01 b=0x07 length=256
DESC
run cardimage write card/card.txt -o card/CARD.IMG
expect_rc 0
[[ $(stat -c %s card/CARD.IMG) == $((3 + 23 + 1 + 6 + 3 * 3 + 600 + 4)) ]] || fail "CARD.IMG is $(stat -c %s card/CARD.IMG) bytes"
run cardimage show card/CARD.IMG
expect_rc 0
expect_out '# 5 records (4 of data, 1 of zeros)'
cp out.txt card/shown.txt
run cardimage write card/shown.txt -o card/AGAIN.IMG
expect_rc 0
cmp -s card/CARD.IMG card/AGAIN.IMG || fail "the shown description writes other bytes"
run cardimage write card/card.txt -o card/CARD.IMG
expect_rc 1
expect_err "mkdisk: card/CARD.IMG: already exists (-f replaces it)"
head -c 40 card/CARD.IMG >card/CUT.IMG
run cardimage show card/CUT.IMG
expect_rc 1
expect_out 'block a=0x01 b=0x02 data=0102ff'
[[ $(cat err.txt) == "mkdisk: card/CUT.IMG ends inside record 2 (inside its data, offset 33): 252 of its 256 data bytes missing" ]] ||
    fail "not the one-line reason"
printf 'target 0x21\nblock a=1 b=0 data=00\n' >card/bad.txt
run cardimage write card/bad.txt -o card/BAD.IMG
expect_rc 1
expect_err "mkdisk: card/bad.txt:2: b must not be 0"
[[ ! -e card/BAD.IMG ]] || fail "an image was written"
run cardimage show
expect_rc 2
finish

start "check: UPLOADPCIF images on the disk must be there and whole"
mkdir -p src11
cp card/CARD.IMG src11/
head -c 40 card/CARD.IMG >src11/CUT.IMG
printf '#UPLOADPCIF A:\\CARD.IMG\n#UPLOADPCIF A:\\CUT.IMG\n#UPLOADPCIF A:\\GONE.IMG\n#END\n' >src11/tolvanex.des
run build src11 disk11
expect_rc 1
expect_err 'tolvanex.des:2: #UPLOADPCIF: A:\CUT.IMG ends inside record 2'
expect_err 'tolvanex.des:3: #UPLOADPCIF: the image A:\GONE.IMG is not on the disk'
[[ $(grep -c UPLOADPCIF err.txt) == 2 ]] || fail "the good image was reported"
finish

start "the disk and what build tells are the same on one worker as on three"
mkdir -p src12/A/B src12/C
# A big file first: on three workers the small ones after it are made before it.
seq 1 60000 >src12/A/BIG.TXT
for i in 1 2 3 4 5 6 7 8; do
    head -c $((i * 3000)) /dev/urandom >"src12/A/B/R$i.BIN"
    seq "$i" 3000 >"src12/C/T$i.TXT"
done
echo clash >src12/C/T1.TXY
echo plain >src12/C/ODD.DA_
printf '#COPY F,A:\\C\\*.* C:\\\n#LABEL F\n#END\n' >src12/tolvanex.des
for jobs in 1 3; do
    run build src12 "disk12-$jobs" -j "$jobs" --pack '*.TXT' --pack 'R?.BIN' --pack 'T1.TXY'
    expect_rc 1
    mv out.txt "out-$jobs.txt"
    mv err.txt "err-$jobs.txt"
done
expect_err_in() { grep -qF -- "$2" "$1" || fail "$1 lacks: $2"; }
expect_err_in err-3.txt "T1.TXY and C\T1.TXT would both be C\T1.TX_"
expect_err_in err-3.txt "ODD.DA_: ends in '_'"
diff -r disk12-1 disk12-3 >/dev/null || fail "the disks differ: $(diff -rq disk12-1 disk12-3)"
cmp -s out-1.txt out-3.txt || fail "what build printed differs: $(diff out-1.txt out-3.txt)"
cmp -s err-1.txt err-3.txt || fail "the problems differ: $(diff err-1.txt err-3.txt)"
[[ $(grep -c ' -> ' out-3.txt) == 18 ]] || fail "not 18 packed files told"
run check disk12-3
expect_rc 0
# On a terminal, the progress names the workers; the line is gone when build ends.
script -qec "env -u DESKSIM $mkdisk build src12 disk12-tty -j 2 --pack '*.TXT'" /dev/null \
    >tty.txt </dev/null
grep -q 'files made on 2 workers' tty.txt || fail "no progress on the terminal: $(cat -v tty.txt)"
expect_no_leftovers
finish

start "best method picks the smallest block"
mkdir -p src4
head -c 20000 /dev/zero >src4/ZEROS.BIN
printf '#END\n' >src4/tolvanex.des
run build src4 disk4 --pack '*.bin'
expect_rc 0
[[ $(stat -c %s disk4/ZEROS.BI_) -lt 200 ]] || fail "20000 zero bytes packed to $(stat -c %s disk4/ZEROS.BI_)"
finish

summary
