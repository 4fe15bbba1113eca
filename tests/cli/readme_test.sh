#!/usr/bin/env bash
# The README's shell examples, run as written: each block in a fresh folder with a fresh home,
# the programs on PATH, the files the examples name, and "y" for every question. The blocks that
# set the machine up (the quick start, the CMake build and install) are left to CI and to the
# install test.
# Usage: readme_test.sh README BIN_DIR SCRATCH_DIR
set -uo pipefail
readme=${1:?usage: readme_test.sh README BIN_DIR SCRATCH_DIR}
bin=$(cd "${2:?}" && pwd)
scratch=${3:?}
root=$(cd "$(dirname "$readme")" && pwd)
rm -rf "$scratch"
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)

# The files the examples name, made in the current folder.
make_fixtures() {
    ln -s "$root/examples" examples
    mkdir build && ln -s "$bin" build/bin
    seq 1 2000 >report.txt
    seq 1 40000 | sed 's/$/ entry point/' >big.dll
    head -c 3000 /dev/urandom >data.bin
    seq 1 50000 | sed 's/^/log line /' >big.log
    seq 1 500 >other && vpack z other -o other.Z && rm other
    cp -R "$root/examples/demo" release
    cp "$root/examples/card/pcif.txt" card.txt && cp "$root/examples/card/firmware.bin" .
    mkdir release/CARD && mkdisk cardimage write card.txt -o release/CARD/PCIF.IMG >/dev/null
}

awk -v dir="$scratch" '
    /^```sh$/ { n++; file = sprintf("%s/block-%02d.sh", dir, n); inside = 1; next }
    /^```/ { inside = 0; next }
    inside { print > file }' "$readme"

printf 'y\n%.0s' {1..50} >"$scratch/answers"
ran=0
failed=0
for block in "$scratch"/block-*.sh; do
    grep -qE '(^|[ /])(cmake|scripts/run-[a-z]+\.sh)( |$)' "$block" && continue
    work=${block%.sh}
    mkdir -p "$work/home" "$work/here"
    if (cd "$work/here" && export HOME=$work/home PATH=$bin:$PATH && unset DESKSIM &&
        make_fixtures && bash -e -o pipefail -x "$block" <"$scratch/answers") >"$work.log" 2>&1
    then
        echo "ok   [README example $(basename "$block" .sh)]"
    else
        echo "FAIL [README example $(basename "$block" .sh)]:"
        sed 's/^/  /' "$block"
        echo "  output, each command after '+':"
        tail -n 40 "$work.log" | sed 's/^/  | /'
        failed=$((failed + 1))
    fi
    ran=$((ran + 1))
done
# The examples of desksim, tolvanex, vpack and mkdisk at the least.
((ran >= 4)) || { echo "FAIL: only $ran README examples found"; exit 1; }
echo "$ran README examples run, $failed failed"
((failed == 0))
