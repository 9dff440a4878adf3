#!/usr/bin/env bash
# Makes dist/quarnel-<version>-cp38-abi3-<tag>.whl for one target
# of targets.txt the way image recipes cross-build Python extensions:
# setuptools run by the build machine's Debian Python 3.11 with the target's
# own build settings, from its fetched Debian tree, tagged with the platform
# tag of targets.txt (manylinux where the CPU has one). Prints the wheel's path.
# Usage: wheel.sh TARGET   ("host": this machine)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tools/debian-apt.sh"
target=$1
host=$(dpkg --print-architecture)
[ "$target" = host ] && target=$host
column() { "$top/tools/target.sh" "$target" "$1"; }
need_packages python3.11:python3.11 x86_64-linux-gnu-g++:g++
need_packages -:python3-setuptools -:python3-wheel

# The target's first Python 3 of the table gives the build settings.
wrapper=$top/.deps/bin/$("$top/tools/fetch-python.sh" --headers "$target")
include=$("$top/tools/python-include.sh" "$wrapper")
stdlib=$("$wrapper" -c 'import os; print(os.path.dirname(os.__file__))')
triplet=$(column triplet)
cflags=$(column cflags)
[ "$cflags" = - ] && cflags=
[ "$target" = "$host" ] || need_packages "$triplet-g++:g++-$triplet"
platform=$(column wheel)
version=$(cat "$top/VERSION")
wheel=$top/dist/quarnel-$version-cp38-abi3-$platform.whl
echo "building $(basename "$wheel")" >&2
rm -f "$wheel"
cd "$top"
_PYTHON_SYSCONFIGDATA_NAME=_sysconfigdata__$triplet \
PYTHONPATH=$stdlib \
_PYTHON_HOST_PLATFORM=linux-$(column machine) \
CC="$triplet-gcc" CXX="$triplet-g++" LDSHARED="$triplet-gcc -shared" \
CFLAGS="-I$include $cflags" \
    /usr/bin/python3.11 setup.py -q build -b "build-wheel-$target" bdist_wheel --plat-name "$platform" -d dist >&2
[ -f "$wheel" ] || { echo "no $wheel was made" >&2; exit 1; }
echo "$wheel"
