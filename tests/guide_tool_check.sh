#!/usr/bin/env bash
# The quarnel-guide command as installed, end to end: write, check, dump,
# to-xmltv (valid to Debian's tv_validate_file, sorted by tv_sort without a
# word), from-xmltv and back to the same document.
# Usage: guide_tool_check.sh DIR COMMAND...   (COMMAND: how to start quarnel-guide)
set -euo pipefail
dir=$1; shift
mkdir -p "$dir/back"
cd "$dir"
export XMLTV_SUPPLEMENT=/usr/share/xmltv  # the package's own DTD, not the network's
fail() { echo "guide tool: $*" >&2; exit 1; }

printf '[[1767258000, "Новости"], [1767261600, "Погода"], [1767261600, "Zero length before it"], [1767265200, ""]]' >e.json
"$@" write news e.json
"$@" write empty - <<<'[]'
"$@" check news >check.txt || fail "check of a written pair: $(cat check.txt)"
"$@" dump --json news >news.json
status=0; "$@" to-xmltv news empty -o guide.xml 2>to.err || status=$?
[ $status = 2 ] || fail "to-xmltv skipping entries exited $status, not 2"
grep -q "1 entry with empty titles skipped" to.err || fail "no count of skipped titles: $(cat to.err)"
tv_validate_file guide.xml >validate.txt 2>&1 || fail "tv_validate_file: $(cat validate.txt)"
tv_sort --output sorted.xml guide.xml 2>sort.err || fail "tv_sort failed: $(cat sort.err)"
[ ! -s sort.err ] || fail "tv_sort complained: $(cat sort.err)"
"$@" from-xmltv guide.xml back >map.txt
[ "$(cat map.txt)" = "$(printf 'news.quarnel\tnews.quarnel\tnews')" ] || fail "mapping: $(cat map.txt)"
"$@" to-xmltv back/news.quarnel --map map.txt -o again.xml
# Every (channel, start, title) kept: the same document, empty titles aside.
cmp -s guide.xml again.xml || fail "XMLTV to pairs to XMLTV changed the document: $(diff guide.xml again.xml)"
set +e
"$@" check missing >/dev/null 2>&1
[ $? = 3 ] || fail "check of a missing pair did not exit 3"
printf '[[1, "a\\u0000b"]]' | "$@" write bad - 2>bad.err
[ $? = 2 ] && grep -q "entry 0" bad.err || fail "a refused write: $(cat bad.err)"
exit 0
