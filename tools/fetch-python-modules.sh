#!/usr/bin/env bash
# Unpacks pure-Python packages of one Debian suite (no dependencies pulled
# in: name them all) into .deps/modules/SUITE/ and prints the directory to
# put on PYTHONPATH.
# Usage: fetch-python-modules.sh SUITE PACKAGE...
#   fetch-python-modules.sh bookworm python3-hypothesis python3-attr python3-sortedcontainers
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tools/debian-apt.sh"
suite=$1
shift
root=$top/.deps/modules/$suite
stamp=$root/.complete-$(echo "$*" | tr ' ' '+')
if [ ! -f "$stamp" ]; then
    need_packages apt-get:apt dpkg:dpkg
    arch=$(dpkg --print-architecture)
    debian_apt_init "$top/.deps/apt/$suite-$arch" "$suite" "$arch"
    echo "fetching $* ($suite) into ${root#$top/}" >&2
    mkdir -p "$root/debs"
    (cd "$root/debs" && debian_apt download -qq "$@")
    for deb in "$root"/debs/*.deb; do dpkg -x "$deb" "$root"; done
    rm -rf "$root/debs"
    touch "$stamp"
fi
echo "$root/usr/lib/python3/dist-packages"
