#!/usr/bin/env bash
# The main job, on programs already built: makes the demonstration upgrade disk from
# examples/demo with mkdisk, runs it on a fresh desk with the operator answering y, shows the
# LCD and the files installed on the desk's drive C:, then runs the disk once more, which finds
# the software installed and does nothing.
# Usage: demo-disk.sh BIN_DIR WORK_DIR
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=$(cd "${1:?usage: demo-disk.sh BIN_DIR WORK_DIR}" && pwd)
work=${2:?usage: demo-disk.sh BIN_DIR WORK_DIR}
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)

echo "== Making the upgrade disk with mkdisk"
"$bin/mkdisk" build "$root/examples/demo" "$work/disk" --pack '*.EXE' --pack '*.CFG'
"$bin/desksim" new "$work/desk" >/dev/null

echo
echo "== Running the upgrade disk; the operator answers y"
(cd "$work/disk" && printf 'y' | DESKSIM="$work/desk" "$bin/tolvanex")
echo
echo "== The desk's LCD after the upgrade"
DESKSIM="$work/desk" "$bin/desksim" lcd
echo
echo "== Installed on the desk's drive C:"
(cd "$work/desk/c" && find . -type f | sort | while read -r f; do
    printf '  %-28s %6s bytes\n' "${f#./}" "$(stat -c %s "$f")"
done)
cmp -s "$root/examples/demo/BIN/DESKAPP.EXE" "$work/desk/c/DESK/DESKAPP.EXE" &&
    cmp -s "$root/examples/demo/DATA/LAMPS.CFG" "$work/desk/c/DESK/DATA/LAMPS.CFG" &&
    echo "  (the unpacked files equal the originals)"

echo
echo "== Running the disk again"
(cd "$work/disk" && DESKSIM="$work/desk" "$bin/tolvanex" </dev/null)
