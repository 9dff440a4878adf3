#!/usr/bin/env bash
# Tests what ships, as users get it: every wheel of targets.txt unpacked and
# run through the suite in its target's interpreters, each manylinux tag
# confirmed by auditwheel (Debian sid's, in sid's Python); the host's wheel
# installed by pip in a plain virtual environment; the README's install
# recipes run as written; the source release in a fresh virtual environment
# of Debian's Python 3.11, offline; the stubs under mypy; Python 2.7's
# `setup.py build`; the quarnel-guide command from the wheel and from that
# build, its XMLTV checked by Debian's xmltv-util. Prints one line a check
# and a count; fails if any check failed.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tools/debian-apt.sh"
need_packages python3.11:python3.11 mypy:mypy -:python3-venv -:python3-setuptools -:python3-wheel -:python3-pip \
    tv_validate_file:xmltv-util
host=$(dpkg --print-architecture)
version=$(cat "$top/VERSION")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# auditwheel and what it imports, run by the first of sid's Pythons the
# host's column of targets.txt names (a name of its own: not another suite's).
audit_path=$("$top/tools/fetch-python-modules.sh" sid python3-auditwheel python3-pyelftools python3-packaging)
sid_entry=$("$top/tools/target.sh" host py3 | tr , '\n' | grep '^sid:' | head -n 1)
audit_python=python${sid_entry#sid:}
[ "${audit_python%+}" = "$audit_python" ] ||
    audit_python=$("$top/tools/fetch-python.sh" sid "$host" "$audit_python" | head -n 1)
audit_python=$top/.deps/bin/$("$top/tools/fetch-python.sh" sid "$host" "$audit_python")
passed=0 failed=0
result() {  # result NAME STATUS
    if [ "$2" = 0 ]; then passed=$((passed + 1)); echo "ok      $1"
    else failed=$((failed + 1)); echo "FAILED  $1"; fi
}
# suite PYTHON_COMMAND MODULE_DIR [TARGET]: the whole suite, which checks it
# imported the module from MODULE_DIR on the target's machine.
suite() {
    (cd "$top/tests" && env PYTHONPATH="$2" QUARNEL_BUILD_DIR="$2" QUARNEL_PYTHON="$1" \
        QUARNEL_EXPECT_MACHINE="$("$top/tools/target.sh" "${3:-host}" machine)" QUARNEL_STACK_DEPTH="$("$top/tools/target.sh" "${3:-host}" depth)" \
        "$1" -m unittest discover -p 'test_*.py') >"$work/suite.log" 2>&1
    local status=$?
    [ $status = 0 ] || tail -n 20 "$work/suite.log"
    return $status
}

# venv_suite VENV: the suite against what was installed into VENV.
venv_suite() {
    suite "$1/bin/python" "$("$1/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
}

grep -q "quarnel $version" "$top/README.md"; result "README names version $version" $?

for target in $("$top/tools/target.sh" --names); do
    wheel=$("$top/tools/wheel.sh" "$target" 2>"$work/wheel.log")
    if [ -z "$wheel" ]; then cat "$work/wheel.log"; result "wheel for $target" 1; continue; fi
    unpacked=$work/wheel-$target
    /usr/bin/python3.11 -m zipfile -e "$wheel" "$unpacked"
    column() { "$top/tools/target.sh" "$target" "$1"; }
    "$top/.deps/bin/python3.11" "$top/tests/check_shared_object.py" "$unpacked/quarnel.abi3.so" \
        --elf "$(column elf)" --glibc "$(column glibc)" --init PyInit_quarnel --triplet "$(column triplet)" \
        >"$work/check.log"
    status=$?; [ $status = 0 ] || cat "$work/check.log"
    result "$(basename "$wheel"): file checks" $status
    [ -f "$unpacked/quarnel-stubs/__init__.pyi" ] && [ -f "$unpacked/quarnel_guide-stubs/__init__.pyi" ]
    result "$(basename "$wheel"): carries the stubs" $?
    tag=$(column wheel)
    if [ "${tag#manylinux}" != "$tag" ]; then
        PYTHONPATH=$audit_path "$audit_python" -m auditwheel show "$wheel" >"$work/audit.log" 2>&1
        tr -s ' \n' '  ' <"$work/audit.log" | grep -q "is consistent with the following platform tag: \"${tag%%.*}\""
        status=$?; [ $status = 0 ] || cat "$work/audit.log"
        result "$(basename "$wheel"): auditwheel agrees with ${tag%%.*}" $status
    fi
    dir=$("$top/tools/target.sh" "$target" dir 3)
    sed -n 's/^QUARNEL_TEST_PYTHONS:STRING=//p' "$top/$dir/CMakeCache.txt" 2>/dev/null | tr ';' '\n' >"$work/pythons"
    [ -s "$work/pythons" ] || { result "$(basename "$wheel"): interpreters ($dir not configured)" 1; continue; }
    while read -r python; do
        suite "$python" "$unpacked" "$target" </dev/null; result "$(basename "$wheel") in $(basename "$python")" $?
    done <"$work/pythons"
done

# The source release: everything a build needs, nothing built.
rm -f "$top/dist/quarnel-$version.tar.gz"
(cd "$top" && /usr/bin/python3.11 setup.py -q sdist -d dist) >"$work/sdist.log" 2>&1
sdist=$top/dist/quarnel-$version.tar.gz
[ -f "$sdist" ]; result "source release $(basename "$sdist")" $?
tar -tzf "$sdist" >"$work/sdist.list" 2>/dev/null
! grep -E '/(\.deps|build[^/]*|dist)/|\.(so|o|pyc)$' "$work/sdist.list" &&
    grep -q "quarnel-$version/sources.txt" "$work/sdist.list"
result "source release holds sources only" $?

# The host's wheel by its own name, in a plain venv: pip alone decides it fits.
venv=$work/venv-wheel
/usr/bin/python3.11 -m venv "$venv"
(cd "$work" && "$venv/bin/pip" install -q --no-index "$top/dist/quarnel-$version-cp38-abi3-$("$top/tools/target.sh" host wheel).whl") \
    >"$work/pip.log" 2>&1
status=$?; [ $status = 0 ] || tail -n 20 "$work/pip.log"
result "pip installs the host's wheel in a fresh venv" $status
venv_suite "$venv"; result "suite in the venv the wheel went into" $?
"$top/tests/guide_tool_check.sh" "$work/tool-wheel" "$venv/bin/quarnel-guide" >"$work/tool.log" 2>&1
status=$?; [ $status = 0 ] || tail -n 20 "$work/tool.log"
result "quarnel-guide from the wheel, XMLTV checked by tv_validate_file and tv_sort" $status

# The README's install recipes, run as written in a copy of the checkout
# (tracked files only; the fetched trees shared): a reader's commands.
copy=$work/checkout
mkdir -p "$copy"
(cd "$top" && git ls-files -z | xargs -0 cp --parents -t "$copy")
ln -s "$top/.deps" "$copy/.deps"
cp "$top/tests/typing/uses_quarnel.py" "$copy/myplugin.py"
# readme NAME [VAR=VALUE...]: runs the README's sh block NAME in the copy,
# with Debian's own commands first on the path, as on a plain Debian machine.
readme() {
    local name=$1; shift
    "$top/.deps/bin/python3.11" "$top/tests/readme_sh.py" "$top/README.md" "$name" >"$work/block.sh" &&
        (cd "$copy" && env PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@" bash -e "$work/block.sh") >"$work/block.log" 2>&1
    local status=$?
    [ $status = 0 ] || tail -n 20 "$work/block.log"
    return $status
}
readme "offline install from a checkout"; result "README: offline install from a checkout" $?
venv_suite "$copy/venv"; result "suite in the venv installed from the checkout" $?
readme "mypy finding the stubs" MYPY_CACHE_DIR=/dev/null; result "README: mypy finds the stubs both ways" $?
readme "one target's wheel" && [ -f "$copy/dist/quarnel-$version-cp38-abi3-$("$top/tools/target.sh" armhf wheel).whl" ] &&
    [ -f "$copy/dist/quarnel-$version-cp38-abi3-$("$top/tools/target.sh" "$host" wheel).whl" ]
result "README: one target's wheel (armhf, this machine's)" $?
readme "Python 2.7 build" && [ -f "$copy/build-setuptools/lib.linux-$(uname -m)-2.7/quarnel.so" ]
result "README: Python 2.7 build" $?
column() { "$top/tools/target.sh" armhf "$1"; }
root=$("$top/tools/python-include.sh" "$top/.deps/bin/$("$top/tools/fetch-python.sh" --headers armhf)")
rm -rf "$copy/dist"
readme "one target's wheel by hand" TRIPLET="$(column triplet)" MACHINE="$(column machine)" TAG="$(column wheel)" \
    CPUFLAGS= ROOT="${root%/usr/include/python3.11}" &&
    /usr/bin/python3.11 -m zipfile -e "$copy/dist/quarnel-$version-cp38-abi3-$(column wheel).whl" "$work/by-hand" &&
    "$top/.deps/bin/python3.11" "$top/tests/check_shared_object.py" "$work/by-hand/quarnel.abi3.so" \
        --elf "$(column elf)" --glibc "$(column glibc)" --init PyInit_quarnel >"$work/check.log"
result "README: one target's wheel by hand (armhf), file checks" $?

venv=$work/venv-sdist
/usr/bin/python3.11 -m venv --system-site-packages "$venv"
(cd "$work" && "$venv/bin/pip" install -q --no-index --no-build-isolation "$sdist") >"$work/pip.log" 2>&1
status=$?; [ $status = 0 ] || tail -n 20 "$work/pip.log"
result "pip install from the sdist, offline" $status
venv_suite "$venv"; result "suite in the venv installed from the sdist" $?
mypy --python-executable "$copy/venv/bin/python" --no-incremental --cache-dir=/dev/null \
    "$top/tests/typing/misuses_quarnel.py" >"$work/mypy.log" 2>&1
[ "$(grep -c ": error:" "$work/mypy.log")" = 6 ]; status=$?; [ $status = 0 ] || cat "$work/mypy.log"
result "mypy: each misuse reported" $status

# Python 2.7 through plain distutils; its settings name /usr/include.
"$top/tools/fetch-python2.sh" >/dev/null
py2=$top/.deps/bin/python2.7
include=$("$top/tools/python-include.sh" "$py2")
(cd "$top" && CFLAGS="-I$include" "$py2" setup.py -q build --build-lib "$work/py2" --build-temp "$work/py2-tmp" \
    --build-scripts "$work/py2-bin") >"$work/py2.log" 2>&1
status=$?; [ $status = 0 ] || tail -n 20 "$work/py2.log"
result "python2.7 setup.py build" $status
"$top/.deps/bin/python3.11" "$top/tests/check_shared_object.py" "$work/py2/quarnel.so" \
    --elf "$("$top/tools/target.sh" "$host" elf)" --glibc "$("$top/tools/target.sh" "$host" glibc)" \
    --init initquarnel >"$work/check.log"
status=$?; [ $status = 0 ] || cat "$work/check.log"
result "python2.7 build: file checks" $status
suite "$py2" "$work/py2"; result "python2.7 build: suite" $?
PYTHONPATH=$work/py2 "$top/tests/guide_tool_check.sh" "$work/tool-py2" "$py2" "$work/py2-bin/quarnel-guide" \
    >"$work/tool.log" 2>&1
status=$?; [ $status = 0 ] || tail -n 20 "$work/tool.log"
result "quarnel-guide from the python2.7 build" $status

echo "shipping: $passed passed, $failed failed"
[ "$failed" = 0 ]
