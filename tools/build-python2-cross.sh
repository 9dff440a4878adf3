#!/usr/bin/env bash
# Cross-builds Python 2.7 for a target of targets.txt whose Debian suite has
# no python2.7 binary (mipsel), from that suite's python2.7 source package,
# so the module can be tested in a real interpreter under qemu. Kept in
# .deps/ by source version and wrapped as .deps/bin/python2.7-<target>.
# Usage: build-python2-cross.sh TARGET SUITE
# The host's Python 2.7 (.deps/bin/python2.7) is the build interpreter.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tools/debian-apt.sh"

name=$1 suite=$2
host_python=$top/.deps/bin/python2.7
target=$("$top/tools/target.sh" "$name" triplet)
qemu=$("$top/tools/target.sh" "$name" qemu)
cflags=$("$top/tools/target.sh" "$name" cflags)
[ "$cflags" = - ] && cflags=
sysroot=/usr/$target
wrapper=$top/.deps/bin/python2.7-$name

need_packages $target-g++:g++-$target $qemu:qemu-user-static make:make
debian_apt_init "$top/.deps/apt/$suite-source" "$suite" "$(dpkg --print-architecture)"

version=$(debian_source_version python2.7)
prefix=$top/.deps/py2-$name-$version
if [ -f "$prefix/.complete" ] && [ -x "$wrapper" ]; then
    exit 0
fi

src=$top/.deps/src
rm -rf "$src" "$prefix"
mkdir -p "$src" "$top/.deps/bin"
tarball=$(debian_source_tarball "$top/.deps" python2.7)
echo "cross-building Python 2.7 $version for $name (about a minute)" >&2
tar -xf "$tarball" -C "$src"
cd "$src"/Python-2.7*/

# The build interpreter must be found as python2.7 on PATH.
mkdir -p "$src/hostbin"
ln -sf "$host_python" "$src/hostbin/python2.7"
export PATH=$src/hostbin:$PATH

# Facts configure cannot probe on a foreign machine.
cat >"$src/config.site" <<SITE
ac_cv_file__dev_ptmx=no
ac_cv_file__dev_ptc=no
ac_cv_buggy_getaddrinfo=no
SITE

# setup.py skips every extension the *build* interpreter has built in, which
# would leave the target without struct, time, math...; build them statically.
cat >Modules/Setup.local <<'SETUP'
*static*
_struct _struct.c
time timemodule.c -lm
datetime datetimemodule.c
math mathmodule.c _math.c -lm
cmath cmathmodule.c _math.c -lm
select selectmodule.c
fcntl fcntlmodule.c
grp grpmodule.c
cStringIO cStringIO.c
cPickle cPickle.c
binascii binascii.c
_random _randommodule.c
itertools itertoolsmodule.c
operator operator.c
_collections _collectionsmodule.c
_functools _functoolsmodule.c
_heapq _heapqmodule.c
_bisect _bisectmodule.c
_io -I$(srcdir)/Modules/_io _io/bufferedio.c _io/bytesio.c _io/fileio.c _io/iobase.c _io/_iomodule.c _io/stringio.c _io/textio.c
_md5 md5module.c md5.c
_sha shamodule.c
_sha256 sha256module.c
_sha512 sha512module.c
strop stropmodule.c
_locale _localemodule.c
array arraymodule.c
unicodedata unicodedata.c
_hotshot _hotshot.c
resource resource.c
termios termios.c
SETUP

CONFIG_SITE=$src/config.site CFLAGS="$cflags" ./configure -q \
    --host=$target --build=x86_64-linux-gnu \
    --prefix=/usr --enable-unicode=ucs4 --disable-ipv6 --without-ensurepip
make -j"$(nproc)" >"$src/build.log" 2>&1 || { tail -40 "$src/build.log"; exit 1; }
make install DESTDIR="$prefix" >"$src/install.log" 2>&1 || { tail -40 "$src/install.log"; exit 1; }
cd "$top"
rm -rf "$src"

cat >"$wrapper" <<WRAP
#!/bin/sh
# Runs the $name Python 2.7 under qemu user-mode emulation.
root=\$(cd "\$(dirname "\$(readlink -f "\$0")")/../py2-$name-$version" && pwd)
QEMU_LD_PREFIX=$sysroot
PYTHONHOME=\$root/usr
export QEMU_LD_PREFIX PYTHONHOME
unset LD_LIBRARY_PATH
exec $qemu "\$root/usr/bin/python2.7" "\$@"
WRAP
chmod +x "$wrapper"
"$wrapper" -c 'import struct, subprocess, tempfile, unittest; u"\u0410".encode("cp1251")'
touch "$prefix/.complete"
echo "$name python2.7 $version ready: .deps/bin/python2.7-$name" >&2
