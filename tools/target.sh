#!/bin/sh
# Reads targets.txt. Usage:
#   target.sh NAME COLUMN   one column of one target (NAME "host": this machine's)
#   target.sh --names       every target name
#   target.sh NAME machine  its machine name (uname -m), from its wheel tag
#   target.sh NAME dir 2|3  its build directory: build[-py3] for this machine
#                           (today's names), build-NAME[-py3] for the others
set -eu
table=$(dirname "$0")/../targets.txt
columns="target triplet qemu cflags elf glibc wheel py2 py3 depth"
if [ "$1" = --names ]; then
    grep -v '^#' "$table" | awk 'NF { print $1 }'
    exit 0
fi
name=$1
host=$(dpkg --print-architecture)
[ "$name" = host ] && name=$host
if [ "$2" = dir ]; then
    suffix=
    [ "$3" = 3 ] && suffix=-py3
    if [ "$name" = "$host" ]; then echo "build$suffix"; else echo "build-$name$suffix"; fi
    exit 0
fi
if [ "$2" = machine ]; then
    "$0" "$name" wheel | sed 's/.*linux[0-9]*_//'
    exit 0
fi
n=0
for c in $columns; do
    n=$((n + 1))
    [ "$c" = "$2" ] && break
done
[ "$c" = "$2" ] || { echo "target.sh: no column $2" >&2; exit 2; }
value=$(grep -v '^#' "$table" | awk -v t="$name" -v n="$n" '$1 == t { print $n }')
[ -n "$value" ] || { echo "target.sh: no target $name in targets.txt" >&2; exit 2; }
echo "$value"
