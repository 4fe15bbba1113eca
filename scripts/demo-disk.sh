#!/usr/bin/env bash
# The main job, on programs already built: makes the demonstration upgrade disk from
# examples/demo with mkdisk (the interface card image written from examples/card/pcif.txt), runs
# it on a fresh desk with the operator answering y, shows the LCD, the blocks the interface card
# took, the NVR and the files installed on the desk's drive C: (the graphics driver among them),
# then runs the disk once more, which finds the software installed and does nothing.
# Usage: demo-disk.sh BIN_DIR WORK_DIR
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=$(cd "${1:?usage: demo-disk.sh BIN_DIR WORK_DIR}" && pwd)
work=${2:?usage: demo-disk.sh BIN_DIR WORK_DIR}
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)

echo "== Writing the interface card image with mkdisk"
cp -R "$root/examples/demo" "$work/source"
mkdir -p "$work/source/CARD"
"$bin/mkdisk" cardimage write "$root/examples/card/pcif.txt" -o "$work/source/CARD/PCIF.IMG"
"$bin/mkdisk" cardimage show "$work/source/CARD/PCIF.IMG" |
    sed -E '/^(format|reserved)/d; s/(data=[0-9a-f]{16})[0-9a-f]+/\1.../'

echo
echo "== Making the upgrade disk with mkdisk"
"$bin/mkdisk" build "$work/source" "$work/disk" --pack '*.EXE' --pack '*.CFG' --pack '*.DLL'
"$bin/desksim" new "$work/desk" >/dev/null
# The desk's NVR holds the old version's settings.
head -c $((128 * 1024)) /dev/zero | tr '\0' '\245' >"$work/desk/nvr.bin"

echo
echo "== Running the upgrade disk; the operator answers y"
(cd "$work/disk" && printf 'y' | DESKSIM="$work/desk" "$bin/tolvanex")
echo
echo "== The desk's LCD after the upgrade"
DESKSIM="$work/desk" "$bin/desksim" lcd
echo
echo "== What the interface card took (desksim card-log; the data cut to its first 16 bytes)"
"$bin/desksim" card-log "$work/desk" | cut -c1-100
echo
echo "== The desk's NVR after the upgrade (it held 0xA5 in every byte before)"
od -An -v -tx1 "$work/desk/nvr.bin" | tr -s ' \n' '\n' | grep -v '^$' | sort | uniq -c |
    awk '{printf "  %s bytes of 0x%s\n", $1, $2}'
echo
echo "== Installed on the desk's drive C:"
(cd "$work/desk/c" && find . -type f | sort | while read -r f; do
    printf '  %-28s %6s bytes\n' "${f#./}" "$(stat -c %s "$f")"
done)
for driver in "$root"/examples/demo/GFX/*.DLL; do
    cmp -s "$driver" "$work/desk/c/DESK/GFX.DLL" &&
        echo "  (GFX.DLL is $(basename "$driver"), the driver COPYGFX chose for this desk's chip)"
done
cmp -s "$root/examples/demo/BIN/DESKAPP.EXE" "$work/desk/c/DESK/DESKAPP.EXE" &&
    cmp -s "$root/examples/demo/DATA/LAMPS.CFG" "$work/desk/c/DESK/DATA/LAMPS.CFG" &&
    echo "  (the unpacked files equal the originals)"

echo
echo "== Running the disk again"
(cd "$work/disk" && DESKSIM="$work/desk" "$bin/tolvanex" </dev/null)
