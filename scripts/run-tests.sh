#!/usr/bin/env bash
# Builds everything, then runs every test; fails when any test fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

bash "$root/scripts/build.sh"
ctest --test-dir "$root/build" --output-on-failure -j2 </dev/null
