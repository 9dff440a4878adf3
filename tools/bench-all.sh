#!/usr/bin/env bash
# Figures, not a test: bench/bench.py and bench/grid.py with this machine's Python 2.7 and 3
# (and bench/xmltv_peak.py, the XMLTV converter's peak memory; bench/xmltv_week.py,
# its speed against the bare parse in every interpreter benched),
# then in the first Python 2.7 and 3 of every other target of targets.txt
# under qemu (a stand-in for a slow box CPU, not a measurement of one).
# Usage: bench-all.sh [TARGET...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
host=$(dpkg --print-architecture)
"$top/tools/need.sh" strace:strace
benched=()
for target in ${*:-$("$top/tools/target.sh" --names)}; do
    [ "$target" = host ] && target=$host
    for major in 2 3; do
        [ "$("$top/tools/target.sh" "$target" "py$major")" = - ] && continue
        dir=$("$top/tools/target.sh" "$target" dir "$major")
        "$top/tools/build.sh" "$target" "$major" "$top/$dir" >/dev/null
        python=$(sed -n 's/^QUARNEL_TEST_PYTHONS:STRING=\([^;]*\).*/\1/p' "$top/$dir/CMakeCache.txt")
        emulator=()
        # The floor program runs on the cross toolchain's own C library.
        [ "$target" = "$host" ] || emulator=(--emulator "$("$top/tools/target.sh" "$target" qemu) -L /usr/$("$top/tools/target.sh" "$target" triplet)")
        echo "=== $target, $(basename "$python")"
        "$python" "$top/bench/bench.py" "$top/$dir" "${emulator[@]}" --python "$python"
        "$python" "$top/bench/grid.py" "$top/$dir"
        # The converter's memory, on this machine only: the listing's size is the point.
        if [ "$target" = "$host" ]; then "$python" "$top/bench/xmltv_peak.py" "$python"; fi
        benched+=("$python")
    done
done
"$top/.deps/bin/python3.11" "$top/bench/xmltv_week.py" "${benched[@]}"
