# The checks of the shell test scripts: each counts, and a failed one is named.
#   check NAME COMMAND...   passes when the command succeeds
#   is GOT EXPECTED         succeeds when they are equal, else shows both
#   report TITLE WHAT       the counts, and the status: 0 when none failed
passed=0
failed=0
check() {
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $name"
    fi
}
is() { [ "$1" = "$2" ] || { printf 'expected [%s]\n     got [%s]\n' "$2" "$1"; false; }; }
report() {
    echo "$1"
    echo "$2: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
