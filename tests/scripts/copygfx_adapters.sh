#!/usr/bin/env bash
# COPYGFX on desks with every kind of graphics adapter: the case copygfx-default-desk run again
# on each desk below, expecting the driver named for it.
# Usage: copygfx_adapters.sh TOLVANEX DESKSIM TEMPLATE_CASE EXAMPLE_DESKS WORK_DIR
set -uo pipefail

usage="usage: copygfx_adapters.sh TOLVANEX DESKSIM TEMPLATE_CASE EXAMPLE_DESKS WORK_DIR"
tolvanex=${1:?$usage}
desksim=${2:?$usage}
template=${3:?$usage}
examples=${4:?$usage}
work=${5:?$usage}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# The driver the template case expects, replaced by each desk's.
template_driver=gfx_s32m

# The desks: a profile (an example file, or [gfx] keys separated by ';') and the driver.
desks=(
    "memory_field = 0|gfx_s32m"
    "memory_field = 1|gfx_vesa"
    "memory_field = 2|gfx_vesa"
    "memory_field = 3|gfx_vesa"
    "memory_field = 4|gfx_s32m"
    "memory_field = 5|gfx_vesa"
    "memory_field = 6|gfx_s31m"
    "memory_field = 7|gfx_vesa"
    "revision = 0x31|gfx_vesa"
    "revision = 0x5F|gfx_s32m"
    "revision = 0x60|gfx_vesa"
    "id = 0x8812|gfx_vesa"
    "id = 0x8901; revision = 0x00; memory_field = 6|gfx_s31m"
    "id = 0x8901; revision = 0xFF; memory_field = 3|gfx_vesa"
    "id = 0x8911|gfx_vesa"
    "chip = false|gfx_vesa"
    "file gfx-s3-1mb.toml|gfx_s31m"
    "file gfx-s3-2mb.toml|gfx_s32m"
    "file gfx-unknown-chip.toml|gfx_vesa"
    "file gfx-plain-vga.toml|gfx_vesa"
)

rm -rf "$work"
mkdir -p "$work" || exit 1
failed=0
n=0
for desk in "${desks[@]}"; do
    profile=${desk%|*}
    driver=${desk#*|}
    n=$((n + 1))
    case_dir=$work/case-$n
    cp -R "$template" "$case_dir" || exit 1
    if [[ $profile == file\ * ]]; then
        cp "$examples/${profile#file }" "$case_dir/desk_profile" || exit 1
    else
        printf '[gfx]\n%s\n' "${profile//; /$'\n'}" >"$case_dir/desk_profile"
    fi
    for expected in expected_stdout expected_lcd; do
        sed -i "s/$template_driver/$driver/" "$case_dir/$expected"
    done
    tail -c +7 "$case_dir/disk/GFX/$driver.dl_" >"$case_dir/expected_desk/d/GFX.DLL"
    if ! result=$(bash "$here/run_case.sh" "$tolvanex" "$desksim" "$case_dir" "$case_dir.work")
    then
        echo "FAIL on the desk '$profile' (expected $driver.dl_):"
        printf '%s\n' "$result" | sed 's/^/  /'
        failed=$((failed + 1))
    fi
done
echo "$((n - failed)) of $n desks passed"
((failed == 0))
