#!/usr/bin/env bash
# Builds everything, then runs the main job.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=$root/build/bin

bash "$root/scripts/build.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The main job: for now, show the desk a program gets on a freshly made desk folder.
main_job() {
    "$bin/desksim" new "$work/desk"
    echo
    DESKSIM="$work/desk" "$bin/desksim" info
}

main_job
