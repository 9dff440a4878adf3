#!/bin/sh
# Asks tools/targets.py, the one reader of targets.txt, in Debian's own
# Python 3.11 (another python3.11 may come first on PATH); see it for usage.
python=${QUARNEL_TABLE_PYTHON:-/usr/bin/python3.11}
[ -x "$python" ] || "$(dirname "$0")/need.sh" "$python:python3.11" >&2
exec "$python" "$(dirname "$0")/targets.py" "$@"
