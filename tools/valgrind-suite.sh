#!/usr/bin/env bash
# Runs the Python suite under valgrind memcheck and fails on any error or
# definite leak whose stack passes through the module.
# Usage: valgrind-suite.sh BUILD_DIR PYTHON_WRAPPER
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tools/debian-apt.sh"
build=$(cd "$1" && pwd)
python=$(command -v "$2" || echo "$2")
case $python in /*) ;; *) python=$PWD/$python ;; esac

# The interpreter's own suppressions, with those for its small-object
# allocator switched on (it was not built to step aside under valgrind).
supp=$build/valgrind-python.supp
if [ ! -s "$supp" ]; then
    debian_apt_init "$top/.deps/apt/bullseye-source" bullseye "$(dpkg --print-architecture)"
    tarball=$(debian_source_tarball "$top/.deps" python2.7)
    tar -xOf "$tarball" --wildcards '*/Misc/valgrind-python.supp' | sed -E 's/^###([{}]|   )/\1/' >"$supp"
fi

# valgrind runs the real binary, not the wrapper script around it.
exe=$("$python" -c 'import sys; print(sys.executable)')
home=$("$python" -c 'import sys; print(sys.prefix)')
libs=$("$python" -c 'import os; print(os.environ.get("LD_LIBRARY_PATH", ""))')
log=$build/valgrind.log
echo "valgrind memcheck over the suite (log: $log)"
cd "$top/tests"
# Forked test children leave with os._exit in mid-test: their leak checks
# would report a copy of the parent's memory.
PYTHONHOME=$home LD_LIBRARY_PATH=$libs PYTHONPATH=$build QUARNEL_BUILD_DIR=$build QUARNEL_UNDER_VALGRIND=1 \
    valgrind --tool=memcheck --suppressions="$supp" --leak-check=full --child-silent-after-fork=yes \
    --show-leak-kinds=definite --errors-for-leak-kinds=definite --num-callers=40 \
    --log-file="$log" "$exe" -m unittest discover -p 'test_*.py' 2>&1 | tail -n 3 || true
"$python" "$top/tools/valgrind_report.py" "$log"
