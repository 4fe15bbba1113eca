#!/usr/bin/env bash
# Installs the build into a fresh prefix, runs the installed programs from there, and builds and
# runs a client program against the installed package alone.
# Usage: install_test.sh BUILD_DIR WORK_DIR
set -uo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../lib/cases.sh"
build=${1:?usage: install_test.sh BUILD_DIR WORK_DIR}
work=${2:?usage: install_test.sh BUILD_DIR WORK_DIR}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
prefix=$work/prefix

start "install puts the programs, libraries, headers and package in the prefix"
cmake --install "$build" --prefix "$prefix" >out.txt 2>err.txt
rc=$?
expect_rc 0
for file in bin/tolvanex bin/desksim bin/vpack bin/mkdisk lib/libvantrel.so lib/libpcplat.so \
    include/vantrel/exec.h include/pcplat/cpu.h lib/cmake/vantrel/vantrelConfig.cmake; do
    [[ -e $prefix/$file ]] || fail "not installed: $file"
done
finish

start "the installed programs run from the prefix, whatever the build tree holds"
mkdir -p disk
printf '#PRINTDISPLAY installed\n#END\n' >disk/tolvanex.des
(cd disk && env -u DESKSIM "$prefix/bin/tolvanex" >../out.txt 2>../err.txt </dev/null)
rc=$?
expect_rc 0
expect_out installed
readelf -d "$prefix/bin/tolvanex" | grep -q 'RUNPATH.*\$ORIGIN/../lib' ||
    fail "tolvanex does not find its libraries relative to itself"
readelf -d "$prefix/bin/tolvanex" | grep -qF "$build" && fail "tolvanex points into the build tree"
finish

start "a client outside the tree builds against the installed package"
cmake -S "$here/client" -B client -DCMAKE_PREFIX_PATH="$prefix" >out.txt 2>err.txt &&
    cmake --build client >>out.txt 2>>err.txt
rc=$?
expect_rc 0
env -u DESKSIM client/client >out.txt 2>err.txt </dev/null
rc=$?
expect_rc 0
expect_out "installed client: 42"
finish

summary
