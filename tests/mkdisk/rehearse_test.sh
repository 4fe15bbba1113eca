#!/usr/bin/env bash
# mkdisk rehearse on the example disks: the bad one (version tag first) is flagged at exactly the
# cut points between its version tag and its last file, the good one passes; bad input is one line
# and status 1, with no temporary desk left.
# Usage: rehearse_test.sh PATH/TO/mkdisk EXAMPLES_DIR SCRATCH_DIR
set -uo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../lib/cases.sh"

tool_program=${1:?usage: rehearse_test.sh MKDISK EXAMPLES_DIR SCRATCH_DIR}
tool_program=$(cd "$(dirname "$tool_program")" && pwd -P)/$(basename "$tool_program")
tool_name=mkdisk
examples=$(cd "${2:?usage: rehearse_test.sh MKDISK EXAMPLES_DIR SCRATCH_DIR}" && pwd)
scratch=${3:?usage: rehearse_test.sh MKDISK EXAMPLES_DIR SCRATCH_DIR}
enter_scratch "$scratch"

# The steps whose outcome starts with $1 ("same", "differs", "run failed"), space-separated.
steps_that() {
    sed -nE "s/^step +([0-9]+) .*: $1.*/\1/p" out.txt | tr '\n' ' ' | sed 's/ $//'
}

for d in good bad; do
    "$tool_program" build "$examples/power-cut-$d" "disk-$d" >/dev/null || exit 1
done
: >fresh.toml # a profile alone: a fresh default desk

start "the bad disk differs at exactly the cut points between its version tag and its last file"
run rehearse disk-bad --desk fresh.toml --answers ''
expect_rc 1
# Steps: 1 MAKEDIR; 2-5 APP.EXE (work file made, written, flushed, renamed); 6-9 DATA.CFG;
# 10-13 LIB.DLL. From the rename of APP.EXE until LIB.DLL is in place, a second run finds
# version 1.1 and skips the rest.
[[ $(steps_that differs) == "5 6 7 8 9 10 11 12" ]] || fail "differing steps: $(steps_that differs)"
[[ $(steps_that same) == "1 2 3 4 13" ]] || fail "same steps: $(steps_that same)"
expect_out 'step  5  line 16 #COPY  rename C:\APP\~TVX0000.TMP C:\APP\APP.EXE: differs: C:\APP\DATA.CFG (missing), C:\APP\LIB.DLL (missing)'
expect_out 'step  8  line 17 #COPY  flush C:\APP\~TVX0001.TMP: differs: C:\APP\DATA.CFG (missing), C:\APP\LIB.DLL (missing)'
expect_out 'step 10  line 17 #COPY  create C:\APP\~TVX0002.TMP: differs: C:\APP\LIB.DLL (missing)'
expect_out '13 cut points: 5 same, 8 differ'
head -1 out.txt | grep -qE '^13 steps change .* [0-9]+ workers?$' || fail "no first line with the workers"
grep -q $'\r\|\033' out.txt err.txt && fail "progress shown although piped"
expect_no_err
expect_empty_tmpdir
finish

start "the good disk is the same after every cut"
run rehearse disk-good --desk fresh.toml --answers ''
expect_rc 0
expect_out '13 cut points: 13 same, 0 differ'
expect_out 'step  4  line 16 #COPY  flush C:\APP\~TVX0000.TMP: same'
expect_no_err
expect_empty_tmpdir
finish

start "--every 4 cuts after steps 4, 8 and 12"
run rehearse disk-bad --desk fresh.toml --answers '' --every 4
expect_rc 1
[[ $(sed -nE 's/^step +([0-9]+) .*/\1/p' out.txt | tr '\n' ' ') == "4 8 12 " ]] || fail "cut points"
expect_out '3 cut points: 1 same, 2 differ'
finish

start "a starting desk folder is copied, never changed"
mkdir -p desk/c/APP
: >desk/desk.toml
printf 'old library\n' >desk/c/APP/LIB.DLL
before=$(cd desk && find . -printf '%p %s\n' | sort)
run rehearse disk-good --desk desk --answers ''
expect_rc 0
[[ $(cd desk && find . -printf '%p %s\n' | sort) == "$before" ]] || fail "the starting desk changed"
expect_empty_tmpdir
finish

start "bad input: one line, status 1, nothing left"
run rehearse no-such-disk --desk fresh.toml --answers ''
expect_refusal no-such-disk
expect_empty_tmpdir
printf '[nvr]\nsize_kib = 999\n' >broken.toml
run rehearse disk-good --desk broken.toml --answers ''
expect_refusal broken.toml
expect_empty_tmpdir
mkdir -p asks
printf '#PRINTDISPLAY Go on? (y/n)\n#REQJUMP YES\n#END\n#LABEL YES\n#MAKEDIR NO,C:\\X\n#LABEL NO\n#END\n' >asks/tolvanex.des
"$tool_program" sums asks >/dev/null
run rehearse asks --desk fresh.toml --answers ''
expect_refusal "answers ran out"
expect_empty_tmpdir
finish

start "a wrong command line is a usage error"
run rehearse disk-good --answers ''
expect_rc 2
run rehearse disk-good --desk fresh.toml --answers '' --every 0
expect_rc 2
finish

summary
