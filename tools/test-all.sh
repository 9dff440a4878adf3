#!/usr/bin/env bash
# Builds and tests the module for every (target, Python) of targets.txt, then
# prints one table of the (target, interpreter) pairs with their results.
# Fails if any pair failed or could not be had (a suite that no longer offers
# an interpreter the table names says so here rather than being skipped).
# Usage: test-all.sh [TARGET...]   (default: every target; "host": this machine)
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
host=$(dpkg --print-architecture)
targets=${*:-$("$top/tools/target.sh" --names)}
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT

for target in $targets; do
    [ "$target" = host ] && target=$host
    for major in 2 3; do
        [ "$("$top/tools/target.sh" "$target" "py$major")" = - ] && continue
        dir=$("$top/tools/target.sh" "$target" dir "$major")
        echo "=== $target, Python $major: $dir"
        if ! "$top/tools/build.sh" "$target" "$major" "$top/$dir" 2>&1 | { grep -v -E '^\[|^g?make\[' || true; } ; then
            printf '%s\t%s\t%s\t%s\n' "$target" "python$major" "BUILD OR FETCH FAILED" "-" >>"$summary"
            continue
        fi
        log=$top/$dir/ctest.log
        (cd "$top/$dir" && ctest --output-on-failure) >"$log" 2>&1
        tail -n 4 "$log"
        # "N/M Test #K: suite-python3.11 ....   Passed   3.1 sec"
        sed -n 's/.*Test *#[0-9]*: \([^ ]*\) [ .]*\**\([A-Za-z]*\).*/\1 \2/p' "$log" |
        while read -r test result; do
            case $test in
                suite-*) printf '%s\t%s\t%s\t%s\n' "$target" "${test#suite-}" "suite $result" \
                    "$(sed -n "s/.*Test *#[0-9]*: leak-loop-${test#suite-} [ .]*\**\([A-Za-z]*\).*/\1/p" "$log")" ;;
                shared-object) printf '%s\t%s\t%s\t%s\n' "$target" "$(basename "$dir")" "file checks $result" - ;;
            esac
        done >>"$summary"
        grep -q 'tests passed, 0 tests failed' "$log" || grep -q "^100% tests passed" "$log" ||
            printf '%s\t%s\t%s\t%s\n' "$target" "$dir" "CTEST FAILED (see $dir/ctest.log)" - >>"$summary"
    done
done

echo
echo "| target | interpreter or build | result | leak loop |"
echo "|---|---|---|---|"
awk -F'\t' '{ printf "| %s | %s | %s | %s |\n", $1, $2, $3, $4 }' "$summary"
failed=$(grep -c -v -E $'\t(suite Passed\tPassed|file checks Passed\t-)$' "$summary")
passed=$(($(wc -l <"$summary") - failed))
echo
echo "pairs: $passed passed, $failed failed"
[ "$failed" = 0 ]
