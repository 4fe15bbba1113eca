# shellcheck shell=bash
# Shared by the vpack test scripts: runs the binary, checks results, counts cases.
# Sourced with: VPACK_BINARY SCRATCH_DIR INPUTS_DIR as the script's arguments.
set -uo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../lib/cases.sh"

vpack=${1:?usage: $0 VPACK_BINARY SCRATCH_DIR INPUTS_DIR}
scratch=${2:?usage: $0 VPACK_BINARY SCRATCH_DIR INPUTS_DIR}
inputs=${3:?usage: $0 VPACK_BINARY SCRATCH_DIR INPUTS_DIR}
inputs=$(cd "$inputs" && pwd) || exit 1
[[ $vpack == /* ]] || vpack=$PWD/$vpack
rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch" || exit 1

tool_program=$vpack
tool_name=vpack

expect_same() { cmp -s "$1" "$2" || fail "$1 and $2 differ"; }
expect_absent() {
    local f
    for f in "$@"; do [[ ! -e $f ]] || fail "$f exists"; done
}

size_of() { stat -c %s "$1"; }
byte_at() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }
# The unpacked length in a block's header (bytes 1 to 4, little-endian), from offset $2.
header_length() {
    local b
    read -r -a b < <(od -An -tu1 -j $(($2 + 1)) -N4 "$1")
    echo $((b[0] | b[1] << 8 | b[2] << 16 | b[3] << 24))
}
# le32 N: the 4 bytes of N, little-endian.
le32() {
    local shift
    for shift in 0 8 16 24; do printf '%b' "\\$(printf %03o $(($1 >> shift & 255)))"; done
}
# block_header METHOD LENGTH: the 5 header bytes of a packed block.
block_header() {
    printf '%b' "\\$(printf %03o "$1")"
    le32 "$2"
}
