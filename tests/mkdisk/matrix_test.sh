#!/usr/bin/env bash
# Runs mkdisk matrix on a small disk whose script branches on a question and on the desk: the
# table, the script's coverage line by line, recorded transcripts checked against later runs, and
# bad input, after which no copy of a desk may be left.
# Usage: matrix_test.sh PATH/TO/mkdisk SCRATCH_DIR   (tolvanex and desksim beside mkdisk)
set -uo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../lib/cases.sh"

tool_program=${1:?usage: matrix_test.sh MKDISK_BINARY SCRATCH_DIR}
tool_program=$(cd "$(dirname "$tool_program")" && pwd -P)/$(basename "$tool_program")
tool_name=mkdisk
desksim=$(dirname "$tool_program")/desksim
scratch=${2:?usage: matrix_test.sh MKDISK_BINARY SCRATCH_DIR}
enter_scratch "$scratch"

# Line 4 asks; yes installs APP.TXT into C:\APP, which fails on a desk where C:\APP is a file.
mkdir -p src
echo "the application" >src/APP.TXT
cat >src/tolvanex.des <<'SCRIPT'
Matrix test disk
#PRINTDISPLAY Install? (y/n)
#PRINTLCD 0,Install?
#REQJUMP YES
#PRINTDISPLAY cancelled
#PRINTLCD 1,Cancelled
#END
#LABEL YES
#MAKEDIR FAILED,C:\APP
#COPY FAILED,A:\APP.TXT C:\APP\
#PRINTLCD 1,Installed
#PRINTERRORCODE
#END
#LABEL FAILED
#PRINTERRORCODE
#PRINTLCD 1,Failed
#END
#LABEL UNUSED
#PRINTDISPLAY never shown
#END
SCRIPT
"$tool_program" build src disk >/dev/null || exit 1
: >fresh.toml
"$desksim" new old >/dev/null || exit 1
echo "a file where the folder goes" >old/c/APP
desks_before=$(find fresh.toml old -type f -print0 | sort -z | xargs -0 md5sum)

start "the table: every desk with every answers text"
run matrix disk --desks fresh.toml old --answers y n --jobs 2 --html page.html
expect_rc 0
expect_no_err
row() { grep -E "^$1 +$2 " out.txt | tr -s ' '; }
[[ $(row fresh.toml y) == "fresh.toml y 0 done 0x0000 YES 1 file Install? | Installed | | APP.TXT" ]] ||
    fail "fresh.toml y: $(row fresh.toml y)"
[[ $(row fresh.toml n) == "fresh.toml n 0 done 0x0000 - 0 files Install? | Cancelled" ]] ||
    fail "fresh.toml n: $(row fresh.toml n)"
[[ $(row old y) == "old y 0 done 0x3001 YES FAILED 0 files Install? | Failed" ]] ||
    fail "old y: $(row old y)"
[[ $(row old n) == "old n 0 done 0x0000 - 0 files Install? | Cancelled" ]] || fail "old n: $(row old n)"
expect_out "4 runs on 2 workers."
[[ $(find fresh.toml old -type f -print0 | sort -z | xargs -0 md5sum) == "$desks_before" ]] ||
    fail "a starting desk changed"
expect_empty_tmpdir
finish

start "coverage: how many runs reached each command line, and the lines none reached"
runs=$(grep -o 'data-line="[0-9]*" data-runs="[0-9]*"' page.html |
    sed 's/data-line="\([0-9]*\)" data-runs="\([0-9]*\)"/\1:\2/' | tr '\n' ' ')
[[ $runs == "2:4 3:4 4:4 5:2 6:2 7:2 8:2 9:2 10:1 11:1 12:1 13:1 14:1 15:1 16:1 17:1 18:0 19:0 20:0 " ]] ||
    fail "runs per line: $runs"
expect_out "Script coverage of tolvanex.des: 16 of 19 command lines ran in at least one combination; never ran:"
[[ $(grep -c '^  tolvanex.des:' out.txt) == 3 ]] || fail "not three lines never run"
expect_out "  tolvanex.des:18  #LABEL UNUSED"
expect_out "  tolvanex.des:20  #END"
grep -q '<td class="count">1</td><td>Matrix test disk</td>' page.html || fail "free text not on the page"
grep -q '&lt;\|<script' page.html && fail "the page holds unescaped or active content"
finish

start "--record, then --check: the same runs pass, a changed disk shows what changed"
run matrix disk --desks fresh.toml old --answers y n --record rec
expect_rc 0
expect_out "Recorded 4 transcripts in rec."
[[ $(ls rec | wc -l) == 4 ]] || fail "not four transcripts: $(ls rec)"
transcript=$(grep -l '^answers: n$' rec/fresh.toml--n--*)
grep -qx '  cancelled' "$transcript" && grep -qx '  row 1 |Cancelled           |' "$transcript" &&
    grep -qx 'exit status: 0 done' "$transcript" || fail "transcript: $(cat "$transcript")"
run matrix disk --desks fresh.toml old --answers y n --check rec
expect_rc 0
expect_out "Check against rec: no differences."
sed -i 's/^#PRINTDISPLAY cancelled$/#PRINTDISPLAY upgrade cancelled/' disk/tolvanex.des
"$tool_program" sums disk >/dev/null
run matrix disk --desks fresh.toml old --answers y n --check rec
expect_rc 1
expect_out "fresh.toml, answers n: differs from rec/"
expect_out "  -   cancelled"
expect_out "  +   upgrade cancelled"
[[ $(grep -c 'differs from' out.txt) == 2 ]] || fail "not the two runs that answered n"
expect_out "Check against rec: 2 of the transcripts differ."
run matrix disk --desks fresh.toml --answers y --check rec
expect_rc 1
expect_out ": recorded, but no longer in the matrix"
expect_empty_tmpdir
finish

start "bad input: one line, status 1, no desk left"
printf '[nvr]\nsize_kib = 256\n' >broken.toml
mkdir -p notadesk
for args in "matrix nodisk --desks fresh.toml --answers y" \
    "matrix disk --desks broken.toml --answers y" \
    "matrix disk --desks notadesk --answers y" \
    "matrix disk --desks fresh.toml --answers x"; do
    # shellcheck disable=SC2086 # the words of one command line
    run $args
    expect_refusal
    expect_empty_tmpdir
done
run matrix nodisk --desks fresh.toml --answers y
expect_refusal "no disk folder nodisk"
run matrix disk --desks broken.toml --answers y
expect_refusal "broken.toml" "size_kib"
run matrix disk --desks fresh.toml old --answers 'x\n' y
[[ $(wc -l <err.txt) == 2 ]] || fail "not one line for each desk whose answers ran out"
expect_err "mkdisk: fresh.toml, answers x\n: the answers ran out at tolvanex.des:4"
expect_usage_errors "matrix disk --desks fresh.toml --answers \\q" "matrix disk --answers y"
finish

# Line 2 jumps back to line 1 for ever.
mkdir -p src2
printf '#LABEL AGAIN\n#JUMPBACK AGAIN\n#END\n' >src2/tolvanex.des
"$tool_program" build src2 loop >/dev/null || exit 1

start "a run past the time limit is ended and reported"
run matrix loop --desks fresh.toml --answers y --time-limit 1
expect_rc 1
expect_err "mkdisk: fresh.toml, answers y: no end within 1 s"
expect_out "timed out"
expect_empty_tmpdir
finish

start "a signal ends the runs and removes their desks: status 128 + N"
env -u DESKSIM "$tool_program" matrix loop --desks fresh.toml old --answers y >out.txt 2>err.txt </dev/null &
pid=$!
for _ in $(seq 100000); do
    [[ -n $(ls -A "$TMPDIR") ]] || ! kill -0 $pid 2>/dev/null && break
done
kill -TERM $pid
wait $pid
rc=$?
expect_rc 143
expect_empty_tmpdir
finish

summary
