#!/usr/bin/env bash
# Unpacks Debian's Python 2.7 (from the older stable suite) into .deps/ and
# writes .deps/bin/python2.7, a wrapper that runs it from there.
# Usage: fetch-python2.sh [dbg]   -- "dbg" fetches the Py_DEBUG flavour instead.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tools/debian-apt.sh"

flavour=${1:-release}
arch=$(dpkg --print-architecture)
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)
pkgs="python2.7 python2.7-minimal libpython2.7 libpython2.7-minimal libpython2.7-stdlib libpython2.7-dev libssl1.1 libffi7"
if [ "$flavour" = dbg ]; then
    name=python2.7-dbg
    pkgs="$pkgs python2.7-dbg libpython2.7-dbg"
else
    name=python2.7
fi
root=$top/.deps/py2-$flavour
wrapper=$top/.deps/bin/$name
[ -x "$wrapper" ] && [ -f "$root/.complete" ] && exit 0

need_packages apt-get:apt dpkg:dpkg
debian_apt_init "$top/.deps/apt/bullseye-$arch" bullseye "$arch"
rm -rf "$root"
mkdir -p "$root/debs" "$top/.deps/bin"
echo "fetching Debian bullseye $name into .deps/" >&2
(cd "$root/debs" && debian_apt download -qq $pkgs)
for deb in "$root"/debs/*.deb; do dpkg -x "$deb" "$root"; done
rm -rf "$root/debs"
[ -x "$root/usr/bin/$name" ] || { echo "unpacked archive has no $name" >&2; exit 1; }
# Debian's pyconfig.h only forwards to <triplet/python2.7/pyconfig.h> on the
# system include path; put the real one beside Python.h so the tree stands alone.
# The debug headers are links into python2.7/, whose quoted includes would
# then find the release pyconfig.h: make them real files too.
for inc in "$root"/usr/include/python2.7*; do
    for link in $(find "$inc" -maxdepth 1 -type l); do
        cp --remove-destination "$(readlink -f "$link")" "$link"
    done
    real=$root/usr/include/$triplet/$(basename "$inc")/pyconfig.h
    [ -f "$real" ] && cp --remove-destination "$real" "$inc/pyconfig.h"
done

cat >"$wrapper" <<WRAP
#!/bin/sh
# Runs the unpacked $name from this tree.
root=\$(cd "\$(dirname "\$(readlink -f "\$0")")/../py2-$flavour" && pwd)
PYTHONHOME=\$root/usr
LD_LIBRARY_PATH=\$root/usr/lib/$triplet\${LD_LIBRARY_PATH:+:\$LD_LIBRARY_PATH}
export PYTHONHOME LD_LIBRARY_PATH
exec "\$root/usr/bin/$name" "\$@"
WRAP
chmod +x "$wrapper"
"$wrapper" -c 'import struct, subprocess, unittest; u"\u0410".encode("cp1251")'
touch "$root/.complete"
echo "$name ready: $wrapper ($arch)"
