#!/usr/bin/env bash
# Builds Python 2.7 from a Debian suite's python2.7 source package, for a
# target of targets.txt (cross-built, run under qemu) or for this machine:
# where the suite has no python2.7 binary for the target (mipsel), and in the
# 2-byte unicode flavour box images may have and Debian does not. Kept in
# .deps/ by source version and unicode width, and wrapped as
# .deps/bin/python2.7-<target> (4-byte) or python2.7-ucs2[-<target>].
# Usage: build-python2.sh TARGET SUITE ucs4|ucs2   (TARGET "host": this machine)
# The host's Python 2.7 (.deps/bin/python2.7) is the build interpreter. The
# wrapper's name is printed last.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tools/debian-apt.sh"

name=$1 suite=$2 width=$3
host=$(dpkg --print-architecture)
[ "$name" = host ] && name=$host
host_python=$top/.deps/bin/$("$top/tools/fetch-python.sh" --python2)
target=$("$top/tools/target.sh" "$name" triplet)
qemu=$("$top/tools/target.sh" "$name" qemu)
cflags=$("$top/tools/target.sh" "$name" cflags)
[ "$cflags" = - ] && cflags=
sysroot=/usr/$target
case $width in
    ucs4) wrapper=python2.7-$name ;;
    ucs2) wrapper=python2.7-ucs2; [ "$name" = "$host" ] || wrapper=$wrapper-$name ;;
    *) echo "build-python2.sh: unicode width ucs4 or ucs2, not $width" >&2; exit 2 ;;
esac
wrapper=$top/.deps/bin/$wrapper

need_packages make:make gcc:gcc
[ "$name" = "$host" ] || need_packages $target-g++:g++-$target $qemu:qemu-user-static
debian_apt_init "$top/.deps/apt/$suite-source" "$suite" "$host"

version=$(debian_source_version python2.7)
prefix=$top/.deps/py2-$name-$width-$version
# Built by this very recipe: a changed script builds afresh.
recipe=$(sha1sum "$0" | cut -d' ' -f1)
if [ "$(cat "$prefix/.complete" 2>/dev/null)" = "$recipe" ] && [ -x "$wrapper" ]; then
    basename "$wrapper"
    exit 0
fi

src=$top/.deps/src-$name-$width
rm -rf "$src" "$prefix"
mkdir -p "$src" "$top/.deps/bin"
tarball=$(debian_source_tarball "$top/.deps" python2.7)
# bz2 links libbz2 for the target statically, as a box's Python has the
# module: bookworm's, the release of this machine's cross toolchain and C
# library (bullseye's archive no longer carries mipsel). zlib comes from the
# sources the tarball bundles.
debian_apt_init "$top/.deps/apt/bookworm-$name" bookworm "$name"
(cd "$src" && debian_apt download -qq libbz2-dev >&2 && dpkg -x libbz2-dev_*.deb "$src/bz2")
bz2=$src/bz2/usr
echo "building Python 2.7 $version ($width) for $name (about a minute)" >&2
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
_socket socketmodule.c
pyexpat expat/xmlparse.c expat/xmlrole.c expat/xmltok.c pyexpat.c -I$(srcdir)/Modules/expat -DHAVE_EXPAT_CONFIG_H -DXML_POOR_ENTROPY -DUSE_PYEXPAT_CAPI
_elementtree _elementtree.c -I$(srcdir)/Modules/expat -DHAVE_EXPAT_CONFIG_H -DUSE_PYEXPAT_CAPI
zlib zlibmodule.c -I$(srcdir)/Modules/zlib zlib/adler32.c zlib/compress.c zlib/crc32.c zlib/deflate.c zlib/infback.c zlib/inffast.c zlib/inflate.c zlib/inftrees.c zlib/trees.c zlib/uncompr.c zlib/zutil.c
SETUP
echo "bz2 bz2module.c -I$bz2/include $bz2/lib/$target/libbz2.a" >>Modules/Setup.local

cross=()
if [ "$name" != "$host" ]; then
    cross=(--host="$target" --build="$(dpkg-architecture -qDEB_BUILD_GNU_TYPE)")
    export CONFIG_SITE=$src/config.site
fi
CFLAGS="$cflags" ./configure -q "${cross[@]}" --prefix=/usr --enable-unicode="$width" --disable-ipv6 \
    --without-ensurepip >"$src/configure.log" 2>&1 || { tail -40 "$src/configure.log"; exit 1; }
make -j"$(nproc)" >"$src/build.log" 2>&1 || { tail -40 "$src/build.log"; exit 1; }
make install DESTDIR="$prefix" >"$src/install.log" 2>&1 || { tail -40 "$src/install.log"; exit 1; }
cd "$top"
rm -rf "$src"

if [ "$name" = "$host" ]; then
    emulator= comment="Runs the $width Python 2.7 built here."
else
    emulator="QEMU_LD_PREFIX=$sysroot exec $qemu" comment="Runs the $name $width Python 2.7 under qemu user-mode emulation."
fi
write_wrapper "$wrapper" "$comment" \
    "root=\$(cd \"\$(dirname \"\$(readlink -f \"\$0\")\")/../$(basename "$prefix")\" && pwd)" \
    'PYTHONHOME=$root/usr' 'export PYTHONHOME' 'unset LD_LIBRARY_PATH' "${emulator:-exec} \"\$root/usr/bin/python2.7\" \"\$@\""
"$wrapper" -c 'import bz2, struct, subprocess, tempfile, unittest, xml.etree.cElementTree, zlib; u"\u0410".encode("cp1251")'
echo "$recipe" >"$prefix/.complete"
echo "$name python2.7 $version ($width) ready: $wrapper" >&2
basename "$wrapper"
