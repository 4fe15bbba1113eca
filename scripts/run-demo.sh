#!/usr/bin/env bash
# Builds everything, then runs the main job.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=$root/build/bin

bash "$root/scripts/build.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The main job: the demonstration upgrade disk on a freshly made desk, the operator answering
# its question with y; then the desk's LCD as the upgrade left it.
main_job() {
    "$bin/desksim" new "$work/desk" >/dev/null
    cp -R "$root/examples/demo" "$work/disk"
    (
        cd "$work/disk"
        printf 'y' | DESKSIM="$work/desk" "$bin/tolvanex"
    )
    echo
    echo "The desk's LCD after the upgrade:"
    DESKSIM="$work/desk" "$bin/desksim" lcd
}

main_job
