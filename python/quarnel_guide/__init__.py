"""Guide pairs for people who make or inspect them: write, check, dump, a
grid, and XMLTV in and out. Standard library only; the same code runs on
Python 2.7 and every Python 3. Run as `python -m quarnel_guide COMMAND`,
`quarnel-guide COMMAND` or `python quarnel-guide.pyz COMMAND`; `--help`
lists the commands."""

from ._status import CANNOT, CLEAN, ERRORS, INTERRUPTED, PIPE_CLOSED, WARNINGS
from ._status import DocumentError, FolderLocked, GuideError, NotAFolder, Unencodable, UsageError, ZoneError
from ._text import file_text
from ._pair import MAX_ENTRIES, TITLE_MAX, read, read_pure, start_time
from ._write import build
from ._store import LOCK_NAME, remove_stale, store, write
from ._check import Finding, check, check_status, dump_lines, format_time, inspect
from ._times import ZONE_DIRS, ZONES, PosixRule, Zone, posix_rule, read_tzif, xmltv_format, xmltv_time, zone
from ._intake import LIMITS
from ._channels import MANIFEST_NAME, read_manifest, read_map, safe_name
from ._xmltv_in import Conversion, from_xmltv
from ._xmltv_out import channel_id, to_xmltv
from ._grid import cells, grid_lines, pairs_in
from ._console import LOG_LIMIT
from ._cli import main

__all__ = [
    "CLEAN", "WARNINGS", "ERRORS", "CANNOT", "INTERRUPTED", "PIPE_CLOSED",
    "GuideError", "DocumentError", "Unencodable", "UsageError", "NotAFolder", "FolderLocked", "ZoneError",
    "MAX_ENTRIES", "TITLE_MAX", "start_time", "read_pure", "read",
    "build", "store", "write", "remove_stale", "LOCK_NAME",
    "Finding", "inspect", "check", "check_status", "format_time", "dump_lines",
    "ZONES", "ZONE_DIRS", "Zone", "PosixRule", "zone", "posix_rule", "read_tzif", "xmltv_time", "xmltv_format",
    "LIMITS", "Conversion", "from_xmltv", "MANIFEST_NAME", "read_manifest", "read_map", "safe_name",
    "channel_id", "to_xmltv", "file_text",
    "pairs_in", "cells", "grid_lines",
    "LOG_LIMIT", "main",
]
