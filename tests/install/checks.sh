# The install scripts' one way of counting checks: `check WHAT COMMAND...`
# runs COMMAND and counts it as passed or failed, printing "ok: WHAT" or
# "FAILED: WHAT".  Sourced; the counts are in $passed and $failed.
passed=0
failed=0
check() {  # WHAT COMMAND...
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok: $what"
    else
        failed=$((failed + 1))
        echo "FAILED: $what"
    fi
}
