# shellcheck shell=bash
# Case bookkeeping for the scripts that test a tool as a whole: a case starts, may fail with
# reasons (each shown with the run's exit status and output), and finishes; summary reports the
# counts and is the script's status. The sourcing script defines run(), which leaves the exit
# status in rc and the output in out.txt and err.txt of the current directory.

passed=0
failed=0
case_name=""
case_ok=1
rc=0

start() {
    case_name=$1
    case_ok=1
}
fail() {
    echo "FAIL [$case_name]: $*"
    echo "  exit status: $rc"
    [[ -f out.txt ]] && head -c 2000 out.txt | sed 's/^/  stdout: /'
    [[ -f err.txt ]] && sed 's/^/  stderr: /' err.txt
    case_ok=0
}
finish() {
    if [[ $case_ok == 1 ]]; then
        echo "ok   [$case_name]"
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
}
summary() {
    echo "$passed passed, $failed failed"
    [[ $failed == 0 ]]
}

expect_rc() { [[ $rc == "$1" ]] || fail "expected exit status $1"; }
expect_out() { grep -qF -- "$1" out.txt || fail "stdout lacks: $1"; }
expect_no_out() { grep -qF -- "$1" out.txt && fail "stdout has: $1"; }
expect_err() { grep -qF -- "$1" err.txt || fail "stderr lacks: $1"; }
expect_silent_stdout() { [[ ! -s out.txt ]] || fail "expected nothing on stdout"; }
expect_no_err() { [[ ! -s err.txt ]] || fail "expected nothing on stderr"; }

# For scripts that test one of the tools: set tool_program to its path and tool_name to the name
# its messages start with. run ARGS runs it away from any desk, with standard input closed.
run() {
    env -u DESKSIM "$tool_program" "$@" >out.txt 2>err.txt </dev/null
    rc=$?
}
expect_ok() {
    [[ $rc == 0 ]] || fail "expected success"
    [[ ! -s err.txt ]] || fail "expected nothing on stderr"
}
# A failure: status 1 and one line on stderr, "NAME: ", holding every given piece.
expect_refusal() {
    [[ $rc == 1 ]] || fail "expected exit status 1"
    [[ $(wc -l <err.txt) == 1 ]] || fail "expected exactly one line on stderr"
    grep -q "^$tool_name: " err.txt || fail "stderr does not start with '$tool_name: '"
    local piece
    for piece in "$@"; do grep -qF -- "$piece" err.txt || fail "stderr lacks: $piece"; done
}
# A wrong command line, for each ARGS string given: status 2 and one line naming --help.
expect_usage_errors() {
    local args
    for args in "$@"; do
        # shellcheck disable=SC2086 # the words of one command line
        run $args
        ((rc == 2)) || fail "'$args': exit status $rc"
        [[ $(wc -l <err.txt) == 1 ]] && grep -qF -- "--help" err.txt || fail "'$args': not one line"
        expect_silent_stdout
    done
}
# No temporary output (the tools write NAME.vpack-XXXXXX, then rename) left under this folder.
expect_no_temporaries() {
    local left
    left=$(find . -name '*.vpack-*' | head -3)
    [[ -z $left ]] || fail "temporary files left: $left"
}
# enter_scratch DIR: an empty DIR as the working directory, with TMPDIR in it, so that a case can
# see whether a tool left a temporary copy behind (expect_empty_tmpdir).
enter_scratch() {
    rm -rf "$1"
    mkdir -p "$1/tmp"
    cd "$1" || exit 1
    export TMPDIR=$PWD/tmp
}
expect_empty_tmpdir() { [[ -z $(ls -A "$TMPDIR") ]] || fail "left behind in TMPDIR: $(ls -A "$TMPDIR")"; }
