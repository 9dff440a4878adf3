#!/usr/bin/env bash
# Builds the module for one target of targets.txt and one Python, after
# making sure the interpreters it is tested in are in .deps/ (fetched from
# Debian or cross-built once). The first interpreter of a column gives the
# headers; the build's tests run in all of them.
# Usage: build.sh TARGET 2|3 BUILD_DIR [CMAKE ARGS...]   (TARGET "host": this machine)
# QUARNEL_FIRST_ONLY=1: the first interpreter of the column only, and no
# Hypothesis (what make demo runs, fetched and built in well under a minute).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tools/debian-apt.sh"
target=$1 major=$2 build=$3
shift 3
host=$(dpkg --print-architecture)
[ "$target" = host ] && target=$host
column() { "$top/tools/target.sh" "$target" "$1"; }

need_packages cmake:cmake g++:g++ make:make readelf:binutils dpkg-architecture:dpkg-dev /usr/bin/python3.11:python3.11
triplet=$(column triplet)
cross=()
if [ "$target" != "$host" ]; then
    need_packages "$triplet-g++:g++-$triplet" "$(column qemu):qemu-user-static"
    cross=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/cross.cmake")
fi

# The host's first Python 3 of the table checks every built file; fetched
# first, it also precompiles the emulated targets' standard libraries.
host_python=$top/.deps/bin/$("$top/tools/fetch-python.sh" --headers host) || exit 1

first_only() { if [ -n "${QUARNEL_FIRST_ONLY:-}" ]; then head -n 1; else cat; fi; }

# The commands of this column's interpreters, one a line.
interpreters() {
    local suite kind version names name
    if [ "$major" = 2 ]; then
        [ "$(column py2)" = - ] && return
        # The host's 2.7 builds the ones made here and precompiles the others.
        "$top/tools/fetch-python.sh" --python2 >&2
        column py2-sources | first_only | while read -r suite kind; do
            case $kind in
                binary)
                    name=python2.7
                    if [ "$target" != "$host" ]; then
                        name=$("$top/tools/fetch-python.sh" "$suite" "$target" python2.7,libpython2.7-dev </dev/null) || exit 1
                    fi ;;
                *) name=$("$top/tools/build-python2.sh" "$target" "$suite" "$kind" </dev/null) || exit 1 ;;
            esac
            echo "$top/.deps/bin/$name"
        done
        return
    fi
    name=$("$top/tools/fetch-python.sh" --headers "$target") || return 1
    echo "$top/.deps/bin/$name"
    [ -n "${QUARNEL_FIRST_ONLY:-}" ] && return
    column py3-entries | tail -n +2 | while read -r suite version; do
        names=python$version
        if [ "${version%+}" != "$version" ]; then
            names=$("$top/tools/fetch-python.sh" "$suite" "$target" "python$version" </dev/null)
            [ -n "$names" ] || { echo "FETCH FAILED: Debian $suite has no python$version" >&2; exit 1; }
        fi
        for name in $names; do
            name=$("$top/tools/fetch-python.sh" "$suite" "$target" "$name" </dev/null) || exit 1
            echo "$top/.deps/bin/$name"
        done
    done
}

pythons=$(interpreters) || exit 1
[ -n "$pythons" ] || { echo "targets.txt gives $target no Python $major" >&2; exit 1; }
build_python=$(echo "$pythons" | head -n 1)
include=$("$top/tools/python-include.sh" "$build_python")
machine=$(column machine)
# Hypothesis for the property tests, in this machine's Python 3.
properties=
if [ "$target" = "$host" ] && [ "$major" = 3 ] && [ -z "${QUARNEL_FIRST_ONLY:-}" ]; then
    properties=$("$top/tools/fetch-python-modules.sh" bookworm python3-hypothesis python3-attr \
        python3-sortedcontainers python3-exceptiongroup) || exit 1
fi
# A directory configured for another target or toolchain starts afresh.
stamp="$target $major ${cross[*]:-native}"
if [ -f "$build/CMakeCache.txt" ] && [ "$(cat "$build/.configured-for" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$build"
fi
mkdir -p "$build"
echo "$stamp" >"$build/.configured-for"
# The interpreters this build is tested in, a command a line, the first
# giving the headers: what the test and bench scripts run.
echo "$pythons" >"$build/interpreters.txt"
cmake -S "$top" -B "$build" "${cross[@]}" -DQUARNEL_TARGET="$target" -DQUARNEL_PYTHON="$major" \
    -DQUARNEL_PYTHON_INCLUDE_DIR="$include" -DQUARNEL_TEST_PYTHONS="$(echo "$pythons" | paste -sd';')" \
    -DQUARNEL_HOST_PYTHON="$host_python" -DQUARNEL_EXPECT_MACHINE="$machine" \
    -DQUARNEL_PROPERTY_PATH="$properties" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
