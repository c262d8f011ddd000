# Sourced by the test scripts: one summary line per leg and running totals. A leg's line is
# also appended to $SUMMARY_FILE (tab-separated) so a run in a Debian root can report its legs
# to the run that started it.
summary=()
failed=0
totals=(0 0 0)  # passed, failed (errors included), skipped, over every leg

record() {  # verdict, name, python, detail; a failure without pytest's counts counts as one
    summary+=("$(printf '%-4s  %-15s %-52s %s' "$1" "$2" "$3" "$4")")
    if [ "$1" = FAIL ]; then
        failed=1
        echo "$4" | grep -qE '[0-9]+ (failed|errors?)' || totals[1]=$((totals[1] + 1))
    fi
    [ -z "${SUMMARY_FILE:-}" ] || printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" >>"$SUMMARY_FILE"
}

count() {  # pytest's closing line, word -> its number (0 when absent)
    echo "$1" | grep -oE "[0-9]+ $2" | awk '{s += $1} END {print s + 0}'
}

add_totals() {  # pytest's closing line
    totals=($((totals[0] + $(count "$1" passed)))
            $((totals[1] + $(count "$1" failed) + $(count "$1" 'errors?')))
            $((totals[2] + $(count "$1" skipped))))
}

replay() {  # a summary file written by another run: its PASS and FAIL legs join this one
    local verdict name python detail
    while IFS=$'\t' read -r verdict name python detail; do
        [ "$verdict" != SKIP ] || continue
        add_totals "$detail"
        record "$verdict" "$name" "$python" "$detail"
    done <"$1"
}

print_summary() {  # heading
    echo
    echo "=== $1"
    printf '%s\n' "${summary[@]}"
    echo "total: ${totals[0]} passed, ${totals[1]} failed, ${totals[2]} skipped"
}
