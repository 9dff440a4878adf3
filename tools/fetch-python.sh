#!/usr/bin/env bash
# Unpacks one of Debian's interpreters, with everything it depends on, from
# one suite and architecture into .deps/, and writes .deps/bin/NAME, a wrapper
# that starts it from there: through the tree's own dynamic loader on this
# machine's architecture (a newer suite needs its own, newer C library), under
# qemu user mode on any other.
# Usage: fetch-python.sh SUITE ARCH PACKAGE[,EXTRA...] [PROGRAM]
#   fetch-python.sh trixie amd64 python3.13          -> .deps/bin/python3.13
#   fetch-python.sh bookworm mipsel python3.11       -> .deps/bin/python3.11-mipsel
#   fetch-python.sh bookworm amd64 python3.11-dbg python3.11d
#   fetch-python.sh bookworm amd64 python3.11,libpython3.11-dev   (with headers)
# PACKAGE "python3.X+" lists every python3.X from X on that the suite has.
#   fetch-python.sh --headers TARGET
# fetches the target's first Python 3 of targets.txt with its headers: the
# one that builds the target's module (and, for this machine, checks files).
#   fetch-python.sh --python2 [dbg]
# fetches this machine's Python 2.7 from bullseye (its release or its Py_DEBUG
# flavour) as .deps/bin/python2.7[-dbg], which builds and precompiles the
# other 2.7s: the packages alone, on this system's own loader.
# The wrapper's name is printed last.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tools/debian-apt.sh"

if [ "$1" = --headers ]; then
    read -r suite version < <("$top/tools/target.sh" "$2" py3-entries)
    exec "$0" "$suite" "$("$top/tools/target.sh" "$2" target)" "python$version,libpython$version-dev"
fi

if [ "$1" = --python2 ]; then
    flavour=${2:-release} name=python2.7 root=$top/.deps/py2-${2:-release}
    pkgs="python2.7 python2.7-minimal libpython2.7 libpython2.7-minimal libpython2.7-stdlib libpython2.7-dev libssl1.1 libffi7"
    [ "$flavour" = dbg ] && name=python2.7-dbg pkgs="$pkgs python2.7-dbg libpython2.7-dbg"
    triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    if [ ! -x "$top/.deps/bin/$name" ] || [ ! -f "$root/.complete" ]; then
        need_packages apt-get:apt dpkg:dpkg
        debian_apt_init "$top/.deps/apt/bullseye-$(dpkg --print-architecture)" bullseye "$(dpkg --print-architecture)"
        rm -rf "$root"
        mkdir -p "$root/debs" "$top/.deps/bin"
        echo "fetching Debian bullseye $name into .deps/" >&2
        (cd "$root/debs" && debian_apt download -qq $pkgs)
        for deb in "$root"/debs/*.deb; do dpkg -x "$deb" "$root"; done
        rm -rf "$root/debs"
        standalone_headers "$root"
        write_wrapper "$top/.deps/bin/$name" "Runs the unpacked $name from this tree." \
            "root=\$(cd \"\$(dirname \"\$(readlink -f \"\$0\")\")/../py2-$flavour\" && pwd)" \
            'PYTHONHOME=$root/usr' \
            "LD_LIBRARY_PATH=\$root/usr/lib/$triplet\${LD_LIBRARY_PATH:+:\$LD_LIBRARY_PATH}" \
            'export PYTHONHOME LD_LIBRARY_PATH' "exec \"\$root/usr/bin/$name\" \"\$@\""
        "$top/.deps/bin/$name" -c 'import struct, subprocess, unittest; u"\u0410".encode("cp1251")'
        touch "$root/.complete"
        echo "$name ready: .deps/bin/$name" >&2
    fi
    echo "$name"
    exit 0
fi

suite=$1 arch=$2 packages=$3 program=${4:-}
package=${packages%%,*}
host_arch=$(dpkg --print-architecture)
need_packages apt-get:apt dpkg:dpkg readelf:binutils

debian_apt_init "$top/.deps/apt/$suite-$arch" "$suite" "$arch"
if [ "${package%+}" != "$package" ]; then
    # Every python3.X the suite has that is at least the one named.
    floor=${package#python3.}
    floor=${floor%+}
    for name in $(debian_apt_cache pkgnames python3. | grep -E '^python3\.[0-9]+$' | sort -t. -k2 -n); do
        [ "${name#python3.}" -ge "$floor" ] && echo "$name"
    done
    exit 0
fi
program=${program:-$package}
version=$(debian_version_of "$package")
if [ -z "$version" ]; then
    echo "FETCH FAILED: Debian $suite has no $package for $arch any more;" \
         "point the interpreter table at another suite" >&2
    exit 1
fi
wrapper_name=$program
[ "$arch" = "$host_arch" ] || wrapper_name=$program-$arch
wrapper=$top/.deps/bin/$wrapper_name
# By its physical path: a checkout whose .deps is a link to another's (the
# README recipes' copy) finds the same trees and the same wrappers.
mkdir -p "$top/.deps/py"
root=$(cd "$top/.deps/py" && pwd -P)/$suite-$arch-$package-$version
# Bumped when wrappers change form, so older ones are written again.
form="wrapper form 3"
if [ -x "$wrapper" ] && [ -f "$root/.complete" ] && grep -q "$root" "$wrapper" && grep -q "$form" "$wrapper"; then
    echo "$wrapper_name"
    exit 0
fi

if [ ! -f "$root/.complete" ]; then
    echo "fetching $package $version ($suite, $arch) into ${root#$top/}" >&2
    rm -rf "$root"
    debian_download_closure "$root/debs" $(echo "$packages" | tr , ' ')
    for deb in "$root"/debs/*.deb; do dpkg -x "$deb" "$root"; done
    rm -rf "$root/debs"
    standalone_headers "$root"
fi
exe=$root/usr/bin/$program
[ -x "$exe" ] || { echo "unpacked $package has no usr/bin/$program" >&2; exit 1; }
mkdir -p "$top/.deps/bin"

if [ "$arch" = "$host_arch" ]; then
    # The loader the program names, found in the tree (links that lead out
    # of it, back to this system's, do not count).
    loader_name=$(readelf -l "$exe" | sed -n 's/.*Requesting program interpreter: \(.*\)]/\1/p')
    loader=
    for candidate in $(find "$root" -name "$(basename "$loader_name")"); do
        real=$(readlink -f "$candidate")
        case $real in "$root"/*) loader=$real; break ;; esac
    done
    [ -n "$loader" ] || { echo "no $loader_name in the unpacked tree" >&2; exit 1; }
    libs=$(find "$root" -name 'lib*.so*' -printf '%h\n' | sort -u | tr '\n' ':')
    write_wrapper "$wrapper" "Debian $suite's $package $version, started through its own C library ($form)." \
        "PYTHONHOME=$root/usr" 'export PYTHONHOME' "exec \"$loader\" --library-path \"${libs%:}\" \"$exe\" \"\$@\""
else
    qemu=$("$top/tools/target.sh" "$arch" qemu)
    need_packages "$qemu:qemu-user-static"
    # The prefix goes by the environment, so that children started as
    # "qemu sys.executable" and the target's own programs find it too.
    write_wrapper "$wrapper" "Debian $suite's $package $version for $arch, under qemu user mode ($form)." \
        "PYTHONHOME=$root/usr" "QEMU_LD_PREFIX=$root" 'export PYTHONHOME QEMU_LD_PREFIX' 'unset LD_LIBRARY_PATH' \
        "exec $qemu \"$exe\" \"\$@\""
fi
[ -f "$root/.complete" ] && { echo "$wrapper_name"; exit 0; }  # only the wrapper was stale
"$wrapper" -c 'import struct, subprocess, tempfile, unittest; u"\u0410".encode("cp1251")'
# Precompiled, the standard library starts several times faster under qemu;
# the host's interpreter of the same version does it in seconds.
if [ "$arch" != "$host_arch" ] && [ -x "$top/.deps/bin/$program" ]; then
    stdlib=$("$wrapper" -c 'import os; print(os.path.dirname(os.__file__))')
    echo "precompiling the $arch standard library" >&2
    "$top/.deps/bin/$program" -m compileall -q "$stdlib" >/dev/null 2>&1 || true
fi
touch "$root/.complete"
echo "$package $version ($suite, $arch) ready: .deps/bin/$wrapper_name" >&2
echo "$wrapper_name"
