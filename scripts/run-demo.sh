#!/usr/bin/env bash
# Builds everything, then runs the main job: the demonstration upgrade disk on a simulated desk
# (scripts/demo-disk.sh says what it shows).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

bash "$root/scripts/build.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash "$root/scripts/demo-disk.sh" "$root/build/bin" "$work"
