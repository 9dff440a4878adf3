#!/bin/sh
# Installs this bundle's quarnel module and quarnel-guide for one Python on
# a box, or removes them again. POSIX shell with busybox's applets only.
# Usage: sh install.sh [--python PATH] [--root DIR] [--remove]
set -e
here=$(cd "$(dirname "$0")" && pwd)
say() { echo "install.sh: $*" >&2; }
python= root= remove=
while [ $# -gt 0 ]; do
    case $1 in
        --python|--root)
            [ $# -gt 1 ] || { say "$1 needs a value"; exit 2; }
            if [ "$1" = --python ]; then python=$2; else root=${2%/}; fi
            shift 2 ;;
        --remove) remove=1; shift ;;
        *) say "unknown argument $1 (usage: sh install.sh [--python PATH] [--root DIR] [--remove])"; exit 2 ;;
    esac
done
[ -n "$python" ] || python=$(command -v python 2>/dev/null) || python=/usr/bin/python
case $python in
    */*) ;;
    *) python=$(command -v "$python" 2>/dev/null) || { say "no $python on PATH"; exit 1; } ;;
esac

# The interpreter's own answers: its version, and where pure modules and
# scripts go (sysconfig, in 2.7 and every 3).
answers=$("$python" -c 'import sys, sysconfig; p = sysconfig.get_paths()
print("%d.%d" % sys.version_info[:2]); print(p["purelib"]); print(p["scripts"])') || {
    say "$python does not run as a Python"; exit 1; }
version=$(echo "$answers" | sed -n 1p)
lib=$root$(echo "$answers" | sed -n 2p)
scripts=$root$(echo "$answers" | sed -n 3p)
list=$lib/quarnel.installed

if [ -n "$remove" ]; then
    [ -f "$list" ] || { say "nothing to remove: no $list"; exit 1; }
    # Files, the list, then the folders the install made that are left
    # empty, deepest first.
    grep -v '/$' "$list" | while IFS= read -r path; do rm -f "$root$path"; done
    folders=$(grep '/$' "$list" | sort -r)
    rm -f "$list"
    echo "$folders" | while IFS= read -r folder; do
        [ -z "$folder" ] || rmdir "$root$folder" 2>/dev/null || true
    done
    echo "removed quarnel from $python"
    exit 0
fi

wanted=$(cat "$here/PYTHON")  # 2.7, or 3 for the stable ABI of 3.8 on
case $wanted:$version in
    2.7:2.7 | 3:3.[89] | 3:3.[1-9][0-9]) ;;
    *) say "this bundle is for Python $wanted$([ "$wanted" = 2.7 ] || echo .8 or later), and $python is Python $version"
       exit 1 ;;
esac

# Each folder made is listed with a trailing / (those of an earlier install
# stay listed), so --remove takes away only what an install made.
made=$( [ -f "$list" ] && grep '/$' "$list" || true)
make_folder() {
    [ -d "$1" ] && return 0
    make_folder "$(dirname "$1")"
    mkdir "$1"
    made="$made
${1#$root}/"
}
make_folder "$lib"
make_folder "$scripts"
module=$(cd "$here" && ls quarnel*.so)
cp "$here/$module" "$lib/$module"
# The archive with this interpreter as its first line.
{ echo "#!$python"; tail -n +2 "$here/quarnel-guide.pyz"; } >"$scripts/quarnel-guide"
chmod 755 "$scripts/quarnel-guide"
{ echo "$made" | grep . || true; echo "${lib#$root}/$module"; echo "${scripts#$root}/quarnel-guide"; } >"$list"
echo "installed $module into ${lib#$root} and quarnel-guide into ${scripts#$root} for $python (Python $version)"
