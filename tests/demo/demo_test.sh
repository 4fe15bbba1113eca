#!/usr/bin/env bash
# The main job as README promises it: the demonstration disk made with mkdisk installs its files
# on a fresh desk and finds them installed on the second run. Compares everything it prints.
# Usage: demo_test.sh BIN_DIR WORK_DIR
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bin=${1:?usage: demo_test.sh BIN_DIR WORK_DIR}
work=${2:?usage: demo_test.sh BIN_DIR WORK_DIR}
mkdir -p "$work"
bash "$here/../../scripts/demo-disk.sh" "$bin" "$work/run" >"$work/output" 2>"$work/errors"
status=$?
if [[ $status -ne 0 ]]; then
    echo "FAIL: demo-disk.sh ended with status $status"
    cat "$work/errors"
    exit 1
fi
if ! diff -u "$here/expected_output" "$work/output"; then
    echo "FAIL: the demonstration printed something else"
    exit 1
fi
echo "demonstration disk ok"
