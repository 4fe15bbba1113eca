#!/usr/bin/env bash
# One convention across the tools: "tool: reason" in one line and status 2 for a wrong command
# line, --version naming the library, the long help text at the top level only.
# Usage: convention_test.sh BIN_DIR SCRATCH_DIR
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../lib/cases.sh"
bin=$(cd "${1:?usage: convention_test.sh BIN_DIR SCRATCH_DIR}" && pwd)
scratch=${2:?}
rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch" || exit 1

run() {
    env -u DESKSIM "$bin/$tool" "$@" >out.txt 2>err.txt </dev/null
    rc=$?
}

# tool, one of its commands
for entry in "desksim info" "vpack disk" "mkdisk build" "rsctool list"; do
    read -r tool command <<<"$entry"
    start "$tool: --version"
    run --version
    expect_rc 0
    expect_no_err
    grep -qxE "$tool [0-9]+\.[0-9]+\.[0-9]+ \((platform|runtime) library [0-9]+\.[0-9]+\.[0-9]+\)" \
        out.txt || fail "not one version line"
    finish

    start "$tool: wrong command lines"
    for args in "--no-such-option" "no-such-command" "$command --no-such-option"; do
        # shellcheck disable=SC2086 # the words of the command line
        run $args
        expect_rc 2
        expect_silent_stdout
        [[ $(wc -l <err.txt) == 1 ]] && grep -q "^$tool: .*(see $tool --help)$" err.txt ||
            fail "'$args': not one line '$tool: ... (see $tool --help)'"
    done
    finish

    start "$tool: the long help is at the top level only"
    run --help
    expect_rc 0
    expect_out "Exit status"
    run "$command" --help
    expect_rc 0
    expect_no_out "Exit status"
    finish
done

start "tolvanex: --version"
tool=tolvanex
run --version
expect_rc 0
grep -qxE "tolvanex [0-9.]+ \(runtime library [0-9.]+\)" out.txt || fail "not one version line"
finish

summary
