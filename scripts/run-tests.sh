#!/usr/bin/env bash
# Builds everything, then runs every test; then builds everything again with AddressSanitizer
# and UndefinedBehaviorSanitizer (build-asan/) and runs every test there too. Fails when any test
# fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

bash "$root/scripts/build.sh"
ctest --test-dir "$root/build" --output-on-failure -j2 </dev/null

# The sanitized programs run at build time too (test discovery), so the settings come first.
source "$root/scripts/i386-env.sh"
# Line tables only (-g1): the sanitizers' reports keep their files and lines. -O1, as the
# sanitizers advise: the plain build above runs the -O2 code, and the instrumented test files
# compile in two thirds of the time they take at -O2.
cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDESK_SANITIZE=ON \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
    >/dev/null
cmake --build "$root/build-asan" -j"$(nproc)"
ctest --test-dir "$root/build-asan" --output-on-failure -j2 </dev/null
