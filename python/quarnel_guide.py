"""Guide pairs for people who make or inspect them: write, check, dump, and
XMLTV in and out. Standard library only; the same file runs on Python 2.7
and every Python 3. Run as `python -m quarnel_guide COMMAND` or
`quarnel-guide COMMAND`; `--help` lists the commands."""
from __future__ import print_function

import argparse
import bisect
import calendar
import codecs
import collections
import datetime
import errno
import fcntl
import io
import json
import os
import re
import signal
import stat
import struct
import sys
import time

__all__ = ["GuideError", "DocumentError", "write", "check", "read", "from_xmltv", "to_xmltv", "main"]

TEXT = type(u"")
EPOCH_TICKS = 116444736000000000  # 100 ns intervals from 1601 to 1970
TICKS_PER_SECOND = 10 ** 7
MAX_ENTRIES = 0xFFFF
OFFSET_LIMIT = 0x10000  # a title record must start below this
TITLE_MAX = 4999  # longer titles are cut to this on reading
INT32 = (-2 ** 31, 2 ** 31 - 1)
EPOCH_SECONDS = 11644473600
# All of a pair that any reader reaches: the records the count can name, and
# title records, which start below 64 KiB and hold at most 65,535 bytes.
INDEX_REACH = 2 + 12 * MAX_ENTRIES
DATA_REACH = OFFSET_LIMIT + 2 + 0xFFFF

# Exit statuses of every command: clean; warnings only (nothing asked for
# was lost); content problems (programmes skipped, entries or channels
# refused); could not (usage, input, document, a failed write); Ctrl-C.
CLEAN, WARNINGS, ERRORS, CANNOT, INTERRUPTED = 0, 1, 2, 3, 130  # SIGTERM 143, SIGHUP 129: 128 + the signal
PIPE_CLOSED = 141  # as a shell shows a command ended by SIGPIPE


class GuideError(Exception):
    """A refusal or a failure, with a message naming the entry and the rule."""
    status = ERRORS


class Unencodable(GuideError):
    """A title with a character cp1251 lacks, under errors "strict"."""

    def __init__(self, number, title, position):
        self.number, self.title, self.position = number, title, position
        GuideError.__init__(self, self.words("errors='replace'", "'fold'"))

    def words(self, replace, fold):
        """The message, naming the ways around it as the caller spells them."""
        return ("entry %d: %r (U+%04X) at %d of %r has no cp1251 byte (%s writes '?', %s also base letters)"
                % (self.number, self.title[self.position], ord(self.title[self.position]), self.position,
                   self.title, replace, fold))


class UsageError(GuideError):
    """An option the command cannot take."""
    status = CANNOT


class NotAFolder(GuideError):
    """The place named for the pairs is a file."""
    status = CANNOT

    def __init__(self, path):
        self.path = path
        GuideError.__init__(self, "%s is a file, not a folder: name a folder for the pairs (one is made when "
                                  "missing)" % _shown(path))


class DocumentError(GuideError):
    """A whole input refused (not a listing, entities declared, an unknown
    encoding): nothing is written from it."""
    status = CANNOT


# --- reading -----------------------------------------------------------------

def _field(blob, offset, size):
    """size bytes at offset; what lies beyond the end reads as zeroes, as the
    module reads a short file."""
    piece = bytearray(blob[offset:offset + size])
    return bytes(piece + bytearray(size - len(piece)))


def start_time(field):
    """A record's FILETIME as the module gives it: seconds toward zero, then
    wrapped to a signed 32-bit Unix time."""
    seconds = abs(field) // TICKS_PER_SECOND
    if field < 0:
        seconds = -seconds
    unix = (seconds - EPOCH_SECONDS) % 2 ** 32
    return unix - 2 ** 32 if unix >= 2 ** 31 else unix


def _decode(raw):
    return raw.split(b"\0", 1)[0][:TITLE_MAX].decode("cp1251", "replace")


def _load(stem, quiet=False):
    """(index, data, index size, data size): of each file the bytes a reader
    can reach and its whole size. An unopenable file raises IOError/OSError,
    unless quiet after the line the module prints for it."""
    blobs, sizes = [], []
    for suffix, reach in ((".ndx", INDEX_REACH), (".pdt", DATA_REACH)):
        try:
            with open(stem + suffix, "rb") as f:
                blobs.append(f.read(reach))
                sizes.append(max(len(blobs[-1]), os.fstat(f.fileno()).st_size))
        except (IOError, OSError) as error:
            if not quiet:
                sys.stdout.write("Can't open file %s%s errno%d\n" % (stem, suffix, error.errno or 0))
            raise
    return blobs + sizes


def _records(index):
    (count,) = struct.unpack("<H", _field(index, 0, 2))
    for i in range(count):
        yield struct.unpack("<2xqH", _field(index, 2 + 12 * i, 12))


def _title(data, offset):
    (length,) = struct.unpack("<H", _field(data, offset, 2))
    return _decode(data[offset + 2:offset + 2 + min(length, TITLE_MAX)])


def read_pure(stem, quiet=False):
    """Every entry of the pair at stem, read without the extension."""
    index, data = _load(_path(stem), quiet)[:2]
    return tuple((start_time(field), _title(data, offset)) for field, offset in _records(index))


def read(stem):
    """What a plugin gets: through the quarnel extension where it imports,
    through the pure reader elsewhere. Returns (entries, reader name)."""
    try:
        import quarnel
    except ImportError:
        return read_pure(stem), "pure"
    return quarnel.read(_path(stem)), "quarnel"


# --- write -------------------------------------------------------------------

ERRORS_MODES = ("strict", "replace", "fold")


def _characters(text):
    """The characters of text: a surrogate pair (a 2-byte build's character
    outside the BMP) is one."""
    i = 0
    while i < len(text):
        n = 2 if u"\ud800" <= text[i] <= u"\udbff" and u"\udc00" <= text[i + 1:i + 2] <= u"\udfff" else 1
        yield text[i:i + n]
        i += n


def _substitute(char, errors, counts):
    """cp1251 bytes for a character it lacks: its base letter where it is a
    letter with diacritics (fold), else one '?'."""
    if errors == "fold":
        import unicodedata
        parts = unicodedata.normalize("NFD", char)
        if len(parts) > 1 and all(unicodedata.combining(c) for c in parts[1:]):
            try:
                raw = parts[0].encode("cp1251")
                counts["folded"] += 1
                return raw
            except UnicodeEncodeError:
                pass
    counts["replaced"] += 1
    return b"?"


def _encode(title, number, errors, counts):
    if isinstance(title, bytes):
        try:
            title = title.decode("ascii")
        except UnicodeDecodeError:
            raise GuideError("entry %d: title %r is bytes that are not ASCII; give it as text" % (number, title))
    if not isinstance(title, TEXT):
        raise GuideError("entry %d: title %r is not text" % (number, title))
    try:
        raw = title.encode("cp1251")
    except UnicodeEncodeError as error:
        if errors == "strict":
            raise Unencodable(number, title, error.start)
        pieces = []
        for char in _characters(title):
            try:
                pieces.append(char.encode("cp1251"))
            except UnicodeEncodeError:
                pieces.append(_substitute(char, errors, counts))
        raw = b"".join(pieces)
    if b"\0" in raw:
        raise GuideError("entry %d: title %r holds a zero byte, where reading would cut it" % (number, title))
    if len(raw) > TITLE_MAX:
        raise GuideError("entry %d: title of %d bytes; reading cuts titles to %d" % (number, len(raw), TITLE_MAX))
    return raw


def _check_start(start, number):
    if isinstance(start, bool) or not isinstance(start, (int, type(2 ** 64))):
        raise GuideError("entry %d: start %r is not a whole number of seconds" % (number, start))
    if not INT32[0] <= start <= INT32[1]:
        raise GuideError("entry %d: start %d is outside the signed 32-bit range of Unix times "
                         "(1901-12-13 20:45:52 to 2038-01-19 03:14:07 UTC)" % (number, start))


def build(entries, errors="strict", keep_order=False, counts=None):
    """The bytes of a pair holding entries, (unix_start, title) pairs.
    Returns (index bytes, data bytes, characters changed); counts, a dict if
    given, gets how many were "folded" and "replaced"."""
    if errors not in ERRORS_MODES:
        raise GuideError("errors must be 'strict', 'replace' or 'fold', not %r" % (errors,))
    counts = {} if counts is None else counts
    counts.update(folded=0, replaced=0)
    entries = list(entries)
    if len(entries) > MAX_ENTRIES:
        raise GuideError("%d entries; a pair holds at most %d" % (len(entries), MAX_ENTRIES))
    encoded = []
    for number, entry in enumerate(entries):
        try:
            start, title = entry
        except (TypeError, ValueError):
            raise GuideError("entry %d: %r is not a (start, title) pair" % (number, entry))
        _check_start(start, number)
        raw = _encode(title, number, errors, counts)
        encoded.append((start, raw, number))
    if not keep_order:
        encoded.sort(key=lambda e: e[0])  # stable: equal starts keep their order
    # Each title once; the longest record last, so every record starts as
    # early as it can (only a record's start must lie in the first 64 KiB).
    titles = sorted(set(raw for _, raw, _ in encoded), key=lambda raw: (len(raw), raw))
    offsets, data = {}, bytearray()
    for raw in titles:
        offsets[raw] = len(data)
        data += struct.pack("<H", len(raw)) + raw
    past = [raw for raw in titles if offsets[raw] >= OFFSET_LIMIT]
    if past:
        over = offsets[past[0]] - OFFSET_LIMIT + 1
        names = ", ".join(repr(raw.decode("cp1251")) for raw in past[:5])
        raise GuideError("the title records need %d bytes more than fit before 64 KiB, where every record must "
                         "start; %d titles would start past it: %s%s"
                         % (over, len(past), names, ", ..." if len(past) > 5 else ""))
    index = bytearray(struct.pack("<H", len(encoded)))
    for start, raw, _ in encoded:
        index += struct.pack("<HqH", 0, EPOCH_TICKS + start * TICKS_PER_SECOND, offsets[raw])
    return bytes(index), bytes(data), counts["folded"] + counts["replaced"]


# A temporary file's name: "." + the final name + the writer's process id +
# a random tag. A run removes those whose process is gone (a killed import's).
_TEMPORARY = re.compile(r"\.(.+)\.([0-9]+)\.[0-9a-f]{8}\Z")


def _create_beside(final):
    """A new file in final's directory under a name no other writer holds,
    with the mode open() would give it (the umask's, never read here: that
    would race other threads). Returns (descriptor, path)."""
    directory, name = os.path.split(os.path.abspath(final))
    while True:
        tag = "%08x" % struct.unpack("<I", os.urandom(4))  # native str in 2.7 and 3
        path = os.path.join(directory, ".%s.%d.%s" % (name, os.getpid(), tag))
        try:
            return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666), path
        except OSError as error:
            if error.errno != errno.EEXIST:
                raise


def remove_stale(directory):
    """Removes the temporary files of writers that no longer run (killed
    mid-write); a running process's are kept, whoever it is. Returns how
    many went."""
    removed = 0
    for name in os.listdir(directory):
        match = _TEMPORARY.match(name)
        if not match or _running(int(match.group(2))):
            continue
        try:
            os.unlink(os.path.join(directory, name))
            removed += 1
        except OSError as error:
            if error.errno != errno.ENOENT:  # another run's cleaning got there first
                raise
    return removed


def _running(pid):
    try:
        os.kill(pid, 0)
    except OSError as error:
        return error.errno != errno.ESRCH
    return True


# What file systems say when they keep no modes or owners (FAT, through
# FUSE drivers or the kernel's vfat) or cannot sync a folder: no failure.
_REFUSALS = (errno.EPERM, errno.ENOSYS, errno.EOPNOTSUPP, errno.EINVAL)


def _refused(call, *args):
    try:
        call(*args)
    except OSError as error:
        if error.errno not in _REFUSALS:
            raise


def _keep_owner_and_mode(fd, final):
    """A replaced file keeps its mode, and its owner where this writer may
    give it (a guide read by a UI running as another user stays readable)."""
    try:
        old = os.stat(final)
    except OSError:
        return
    try:
        os.fchown(fd, old.st_uid, old.st_gid)
    except OSError:
        pass
    _refused(os.fchmod, fd, stat.S_IMODE(old.st_mode))  # after chown, which may clear set-id bits


def _write_beside(final, content, made):
    """content in a new file beside final, on disk; its (path, final) is
    added to made before anything is written."""
    fd, path = _create_beside(final)
    made.append((path, final))
    with os.fdopen(fd, "wb") as f:
        _keep_owner_and_mode(f.fileno(), final)
        f.write(content)
        f.flush()
        os.fsync(f.fileno())


def _replace_file(path, content):
    """One file replaced whole, as a pair's files are."""
    made = []
    try:
        _write_beside(path, content, made)
        os.rename(*made.pop())
    finally:
        for temporary, _ in made:
            os.unlink(temporary)


def _handle(numbers, handler):
    """Installs handler for each signal; {number: the handler it replaced}.
    Off the main thread, where signals never run handlers, nothing."""
    saved = {}
    try:
        for number in numbers:
            saved[number] = signal.signal(number, handler)
    except ValueError:  # not the main thread
        pass
    return saved


_ENDING = [getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)]


class _Deferred(object):
    """Ctrl-C, SIGTERM and SIGHUP held back while a pair is between its two
    renames, then delivered again: the pair is whole, old or new, whatever
    arrives. A flag handler, as 2.7 has no pthread_sigmask."""

    def __enter__(self):
        self.arrived = []
        self.saved = _handle(_ENDING, lambda number, _: self.arrived.append(number))
        return self

    def __exit__(self, *_):
        for number, handler in self.saved.items():
            signal.signal(number, handler)
        for number in self.arrived:
            os.kill(os.getpid(), number)
        return False


def _replace_files(stem, index, data):
    """Both files under temporary names beside them, on disk, then renamed:
    the data file first, the index last."""
    made = []
    try:
        for suffix, content in ((".pdt", data), (".ndx", index)):
            _write_beside(stem + suffix, content, made)
        with _Deferred():
            for path, final in made:
                os.rename(path, final)
                made = made[1:]
    finally:
        for path, _ in made:
            try:
                os.unlink(path)
            except OSError:
                pass
    try:
        fd = os.open(os.path.dirname(os.path.abspath(stem)), os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


LOCK_NAME = ".quarnel-guide.lock"


class FolderLocked(GuideError):
    """Another run held a folder's lock for longer than the wait."""
    status = CANNOT


class _FolderLock(object):
    """One writing run at a time per folder: an exclusive flock on
    LOCK_NAME there (the file stays), waited for up to wait seconds."""

    def __init__(self, directory, wait):
        self.directory, self.wait = directory, wait

    def __enter__(self):
        self.fd = os.open(os.path.join(self.directory, LOCK_NAME), os.O_WRONLY | os.O_CREAT, 0o666)
        try:
            self._take()
        except BaseException:
            os.close(self.fd)
            raise
        return self

    def _take(self):
        deadline = time.time() + self.wait
        while True:
            try:
                return fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except (IOError, OSError) as error:
                if error.errno not in (errno.EWOULDBLOCK, errno.EAGAIN):
                    raise
            if time.time() >= deadline:
                raise FolderLocked("%s: another run has been writing there for %g seconds; try again later, or "
                                   "give --wait more seconds" % (_shown(self.directory), self.wait))
            time.sleep(0.1)

    def __exit__(self, *_):
        os.close(self.fd)  # and with it the lock
        return False


class _NoLock(object):
    def __enter__(self):
        return self

    def __exit__(self, *_):
        return False


def _lock(directory, lock, wait):
    return _FolderLock(directory, wait) if lock else _NoLock()


def _holds(path, content):
    """Whether the file at path holds exactly content."""
    try:
        with open(path, "rb") as f:
            return os.fstat(f.fileno()).st_size == len(content) and f.read(len(content) + 1) == content
    except (IOError, OSError):
        return False


def store(stem, index, data):
    """Replaces the pair at stem with these bytes, unless both files hold
    them already: then nothing is written (no flash wear, no moment with the
    old index over new data). Returns whether it wrote."""
    stem = _path(stem)
    if _holds(stem + ".ndx", index) and _holds(stem + ".pdt", data):
        return False
    _replace_files(stem, index, data)
    return True


def write(stem, entries, errors="strict", keep_order=False, lock=False, wait=300):
    """Writes the pair stem.ndx + stem.pdt holding entries, (unix_start,
    title) pairs, sorted by start (stable) unless keep_order; a pair that
    would come out byte for byte as it is stays untouched. Titles are
    encoded as cp1251: errors "strict" refuses what it lacks, "replace"
    writes '?' for it, "fold" writes letters with diacritics as their base
    letter and anything else as '?'. lock: hold the folder's lock, as the
    commands do, waiting up to wait seconds for another run's. Raises
    GuideError, leaving any existing pair as it was. Returns the characters
    changed."""
    index, data, changed = build(entries, errors, keep_order)
    stem = _path(stem)
    with _lock(os.path.dirname(os.path.abspath(stem)), lock, wait):
        store(stem, index, data)
    return changed


# --- check -------------------------------------------------------------------

class Finding(object):
    def __init__(self, severity, entry, text):
        self.severity, self.entry, self.text = severity, entry, text

    def __str__(self):
        where = "" if self.entry is None else "entry %s: " % self.entry
        return "%s: %s%s" % (self.severity, where, self.text)

    def __repr__(self):
        return "Finding(%r, %r, %r)" % (self.severity, self.entry, self.text)


def _unread_runs(covered, size):
    """(first, last) runs of data-file bytes no record covers: the zero runs
    of covered, and all past it up to size (no record reaches there)."""
    runs = [[m.start(), m.end() - 1] for m in re.finditer(b"\0+", bytes(covered))]
    if size > len(covered):
        if runs and runs[-1][1] == len(covered) - 1:
            runs[-1][1] = size - 1
        else:
            runs.append([len(covered), size - 1])
    return runs


def inspect(index, data, index_size=None, data_size=None):
    """The findings for a pair given as the bytes of its two files: whole, or
    as far as a reader reaches (INDEX_REACH, DATA_REACH) with their sizes."""
    index_size = len(index) if index_size is None else index_size
    data_size = len(data) if data_size is None else data_size
    found = []
    error = lambda entry, text: found.append(Finding("error", entry, text))
    warning = lambda entry, text: found.append(Finding("warning", entry, text))
    if index_size < 2:
        error(None, "the index holds %d bytes, not even its 2-byte count: it reads as no entries" % index_size)
        return found
    (count,) = struct.unpack("<H", index[:2])
    present = (index_size - 2) // 12
    if count > present:
        error("%d-%d" % (present, count - 1) if count - present > 1 else present,
              "the count says %d entries, the index holds %d records: the rest are made up, starting at %d "
              "with the title at offset 0" % (count, present, start_time(0)))
    extra = index_size - 2 - 12 * count
    if extra > 0:
        warning(None, "%d bytes after the last record (of %d) are never read" % (extra, count))
    real = min(count, present)
    previous = None
    first_entry = {}
    for i in range(real):
        field, offset = struct.unpack("<2xqH", index[2 + 12 * i:14 + 12 * i])
        start = start_time(field)
        if previous is not None and start < previous:
            error(i, "starts at %d, before entry %d (%d): starts must ascend, or current answers from the wrong "
                     "place" % (start, i - 1, previous))
        previous = start
        first_entry.setdefault(offset, i)
    covered = bytearray(min(data_size, DATA_REACH))
    records = []
    for offset in sorted(first_entry):
        i = first_entry[offset]
        if offset >= data_size:
            error(i, "title offset %d is at or past the end of the data file (%d bytes): an empty title"
                  % (offset, data_size))
            continue
        if offset + 2 > data_size:
            error(i, "title record at %d is cut by the end of the data file: its length field is incomplete, "
                     "an empty title" % offset)
            covered[offset:] = b"\1" * (data_size - offset)
            continue
        (length,) = struct.unpack("<H", data[offset:offset + 2])
        end = offset + 2 + length
        if end > data_size:
            error(i, "title record at %d is cut by the end of the data file: %d of its %d bytes are there"
                  % (offset, data_size - offset - 2, length))
            end = data_size
        raw = data[offset + 2:end]
        if length > TITLE_MAX:
            warning(i, "title of %d bytes at %d: reading cuts it to %d" % (length, offset, TITLE_MAX))
        if b"\0" in raw:
            warning(i, "a zero byte at %d of the title at %d: reading cuts the title there"
                    % (raw.index(b"\0"), offset))
        if b"\x98" in raw:
            warning(i, "the byte 0x98 at %d of the title at %d has no cp1251 character: it reads as U+FFFD"
                    % (raw.index(b"\x98"), offset))
        records.append((offset, end, i))
        covered[offset:end] = b"\1" * (end - offset)
    # Against the record reaching furthest so far, not just the one before:
    # records that both lie inside a third are each reported.
    reach = None
    for start, end, entry in records:
        if reach is not None and start < reach[0]:
            warning(entry, "its title record at %d overlaps the one at %d (entry %d)" % (start, reach[1], reach[2]))
        if reach is None or end > reach[0]:
            reach = (end, start, entry)
    runs = _unread_runs(covered, data_size)
    if runs:
        warning(None, "%d bytes of the data file no record points at, first at %d-%d%s"
                % (sum(last - first + 1 for first, last in runs), runs[0][0], runs[0][1],
                   " (%d runs)" % len(runs) if len(runs) > 1 else ""))
    return found


def check(stem):
    """The findings for the pair at stem; IOError/OSError if a file cannot be read."""
    return inspect(*_load(_path(stem), quiet=True))


def check_status(findings):
    severities = set(f.severity for f in findings)
    return ERRORS if "error" in severities else WARNINGS if severities else CLEAN


# --- dump --------------------------------------------------------------------

def format_time(start, local=False):
    if local:
        return time.strftime("%Y-%m-%d %H:%M:%S %z", time.localtime(start))
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(start))


def dump_lines(entries, local=False):
    return [u"%s  %s" % (format_time(start, local), title) for start, title in entries]


# --- XMLTV -------------------------------------------------------------------

# ASCII digits only (Python 3's \d takes any script's), hours 00-23 and
# minutes 00-59 in an offset.
_OFFSET = r"([+-])([01][0-9]|2[0-3])([0-5][0-9])"
_XMLTV_TIME = re.compile(r"([0-9]{4})([0-9]{2})?([0-9]{2})?([0-9]{2})?([0-9]{2})?([0-9]{2})?[ \t]*"
                         r"(?:%s|([A-Za-z]+))?\Z" % _OFFSET)
# Named zones, in minutes east of UTC: authoritative for the names held,
# and no other name is guessed (IST alone means three offsets).
ZONES = {
    "UTC": 0, "GMT": 0, "Z": 0, "BST": 60, "WET": 0, "WEST": 60, "CET": 60, "CEST": 120, "EET": 120,
    "EEST": 180, "MSK": 180, "EST": -300, "EDT": -240, "CST": -360, "CDT": -300, "MST": -420, "MDT": -360,
    "PST": -480, "PDT": -420, "AKST": -540, "AKDT": -480, "HST": -600,
}


def _offset_seconds(sign, hours, minutes):
    return (int(hours) * 60 + int(minutes)) * 60 * (1 if sign == "+" else -1)


class UnknownZone(ValueError):
    """A time zone named that the table does not hold."""


def xmltv_time(text, zone=0):
    """Unix seconds of an XMLTV time: YYYYMMDDhhmmss, trailing fields
    optional, then an optional +hhmm/-hhmm or a zone of ZONES; a time with
    no offset is in zone: seconds east of UTC (by default UTC) or a Zone."""
    match = _XMLTV_TIME.match(text.strip(" \t\r\n"))
    if not match:
        raise ValueError("not an XMLTV time: %r" % text)
    fields = [int(g) if g else d for g, d in zip(match.groups()[:6], (0, 1, 1, 0, 0, 0))]
    datetime.datetime(*fields)  # ValueError for 20260230 and the like
    sign, hours, minutes, name = match.groups()[6:]
    if name is not None:
        if name.upper() not in ZONES:
            raise UnknownZone("unknown time zone %s" % name)
        offset = ZONES[name.upper()] * 60
    elif sign:
        offset = _offset_seconds(sign, hours, minutes)
    elif isinstance(zone, Zone):
        return zone.utc(calendar.timegm(tuple(fields)))
    else:
        offset = zone
    return calendar.timegm(tuple(fields)) - offset


# --- local times: fixed offsets, zoneinfo files, POSIX TZ rules ----------------

ZONE_DIRS = ("/usr/share/zoneinfo", "/usr/lib/zoneinfo", "/usr/share/lib/zoneinfo")


class ZoneError(GuideError):
    """A --zone that is none of the forms, or a zoneinfo file that cannot be read."""
    status = CANNOT


class Zone(object):
    """Local wall times to UTC. transitions: (UTC instant, offset before,
    offset after), offsets in seconds east, ascending; initial: the offset
    before the first; rule: a PosixRule for instants past the last (the
    TZif footer), or None to keep the last offset. A wall time in the hour
    that repeats reads as the first (earlier) instant, one in the hour that
    never was with the offset in force before the change: as zoneinfo with
    fold=0."""

    def __init__(self, name, transitions=(), initial=0, rule=None):
        self.name, self.transitions, self.initial, self.rule = name, list(transitions), initial, rule
        self.walls = _walls(self.transitions)
        self.years = {}

    def utc(self, local):
        """UTC seconds of local, a wall time counted as calendar.timegm counts it."""
        if self.rule is None or (self.walls and local < self.walls[-1]):
            return local - _offset_at(self.walls, self.transitions, self.initial, local)
        year = time.gmtime(local).tm_year
        if year not in self.years:
            self.years[year] = self._by_rule(year)
        walls, changes, base = self.years[year]
        return local - _offset_at(walls, changes, base, local)

    def _by_rule(self, year):
        """The rule's changes around year that come after the last
        transition, each from the offset before it."""
        last = self.transitions[-1] if self.transitions else None
        changes = [change for y in (year - 1, year, year + 1) for change in self.rule.transitions(y)
                   if last is None or change[0] > last[0]]
        if self.rule.dst is None:
            base = self.rule.std
        else:
            base = last[2] if last else changes[0][1]
        chained, before = [], base
        for at, _, after in changes:
            chained.append((at, before, after))
            before = after
        return _walls(chained), chained, base


def _walls(transitions):
    # Where each change falls in wall time for fold=0: past both readings.
    return [at + max(before, after) for at, before, after in transitions]


def _offset_at(walls, transitions, initial, local):
    i = bisect.bisect_right(walls, local)
    return transitions[i - 1][2] if i else initial


class PosixRule(object):
    """A POSIX TZ rule as glibc reads it: std offset [dst [offset]
    [,start[/time],end[/time]]]."""

    def __init__(self, std, dst=None, start=None, end=None):
        self.std, self.dst, self.start, self.end = std, dst, start, end

    def transitions(self, year):
        """(UTC instant, before, after) of the changes in year."""
        if self.dst is None:
            return []
        begin = _rule_day(year, self.start[0]) * 86400 + self.start[1] - self.std
        finish = _rule_day(year, self.end[0]) * 86400 + self.end[1] - self.dst
        return sorted([(begin, self.std, self.dst), (finish, self.dst, self.std)])


def _rule_day(year, day):
    """Days from 1970 to a rule's day in year: ("J", n) 1-365 without
    29 February, ("n", n) 0-365 with it, ("M", month, week 1-5, weekday)
    where week 5 is the last."""
    first = calendar.timegm((year, 1, 1, 0, 0, 0)) // 86400
    if day[0] == "J":
        return first + day[1] - 1 + (day[1] >= 60 and calendar.isleap(year))
    if day[0] == "n":
        return first + day[1]
    _, month, week, weekday = day
    start = calendar.timegm((year, month, 1, 0, 0, 0)) // 86400
    days = calendar.monthrange(year, month)[1]
    date = 1 + (weekday - (start + 4)) % 7 + 7 * (week - 1)  # 1970-01-01 was a Thursday
    while date > days:
        date -= 7
    return start + date - 1


_RULE_NAME = r"(?:[A-Za-z]{3,}|<[A-Za-z0-9+-]{3,}>)"
_RULE_OFFSET = r"[+-]?[0-9]{1,3}(?::[0-9]{1,2}){0,2}"
_RULE_DAY = r"(?:J[0-9]{1,3}|[0-9]{1,3}|M[0-9]{1,2}\.[1-5]\.[0-6])(?:/%s)?" % _RULE_OFFSET
_RULE = re.compile(r"(%s)(%s)(?:(%s)(%s)?(?:,(%s),(%s))?)?\Z" % (_RULE_NAME, _RULE_OFFSET, _RULE_NAME, _RULE_OFFSET,
                                                                 _RULE_DAY, _RULE_DAY))


def _clock(text, limit):
    """Seconds of [+-]hh[:mm[:ss]]; ValueError past limit hours."""
    sign = -1 if text.startswith("-") else 1
    parts = [int(p) for p in text.lstrip("+-").split(":")] + [0, 0]
    if parts[0] > limit or parts[1] > 59 or parts[2] > 59:
        raise ValueError(text)
    return sign * (parts[0] * 3600 + parts[1] * 60 + parts[2])


def _change(text):
    day, _, at = text.partition("/")
    if day.startswith("M"):
        month, week, weekday = [int(p) for p in day[1:].split(".")]
        if not 1 <= month <= 12:
            raise ValueError(text)
        parsed = ("M", month, week, weekday)
    elif day.startswith("J"):
        parsed = ("J", int(day[1:]))
        if not 1 <= parsed[1] <= 365:
            raise ValueError(text)
    else:
        parsed = ("n", int(day))
        if parsed[1] > 365:
            raise ValueError(text)
    return parsed, _clock(at, 167) if at else 7200


def posix_rule(text):
    """The PosixRule of text; ValueError if it is none."""
    match = _RULE.match(text)
    if not match:
        raise ValueError(text)
    _, std, dst_name, dst, start, end = match.groups()
    std_east = -_clock(std, 24)
    if dst_name is None:
        return PosixRule(std_east)
    dst_east = std_east + 3600 if dst is None else -_clock(dst, 24)
    start, end = (start, end) if start else ("M3.2.0", "M11.1.0")  # glibc's default: the US rules
    return PosixRule(std_east, dst_east, _change(start), _change(end))


def read_tzif(data, name="zone"):
    """A Zone from a TZif file's bytes (versions 1 to 3: the 64-bit data and
    the footer rule where present); ZoneError if they are none."""
    def block(offset, wide):
        if data[offset:offset + 4] != b"TZif" or len(data) < offset + 44:
            raise ZoneError("%s: not a zoneinfo (TZif) file" % name)
        isut, isstd, leap, count, types, chars = struct.unpack(">6l", data[offset + 20:offset + 44])
        size = 8 if wide else 4
        need = count * (size + 1) + types * 6 + chars + leap * (size + 4) + isstd + isut
        body = data[offset + 44:offset + 44 + need]
        if len(body) < need or types < 1:
            raise ZoneError("%s: the zoneinfo file is cut short (%d of its bytes are there)" % (name, len(data)))
        times = struct.unpack(">%d%s" % (count, "q" if wide else "l"), body[:count * size])
        indices = bytearray(body[count * size:count * (size + 1)])
        infos = [struct.unpack(">lBB", body[count * (size + 1) + 6 * i:count * (size + 1) + 6 * i + 6])
                 for i in range(types)]
        if any(i >= types for i in indices):
            raise ZoneError("%s: the zoneinfo file names a type it lacks" % name)
        return times, indices, infos, offset + 44 + need
    times, indices, infos, end = block(0, False)
    rule = None
    if data[4:5] not in (b"\0", b""):  # version 2 on: the same again with 64-bit times, then the rule
        times, indices, infos, end = block(end, True)
        footer = data[end:].split(b"\n")
        if len(footer) < 3 or footer[0] != b"":
            raise ZoneError("%s: the zoneinfo file's rule is cut short" % name)
        if footer[1]:
            try:
                rule = posix_rule(footer[1].decode("ascii"))
            except ValueError:
                raise ZoneError("%s: the zoneinfo file's rule %r is not one this tool reads" % (name, footer[1]))
    offsets = [info[0] for info in infos]
    standard = [info[0] for info in infos if not info[1]]
    initial = standard[0] if standard else offsets[0]
    transitions, before = [], initial
    for at, index in zip(times, indices):
        transitions.append((at, before, offsets[index]))
        before = offsets[index]
    return Zone(name, transitions, initial, rule)


def zone(text, zone_dir=None):
    """The zone --zone names: +hhmm/-hhmm, a name of ZONES (fixed), a
    zoneinfo name (":" before it allowed), looked for in zone_dir, else
    $TZDIR, else ZONE_DIRS, or a POSIX TZ rule. ZoneError otherwise."""
    match = re.match(_OFFSET + r"\Z", text)
    if match:
        return Zone(text, initial=_offset_seconds(*match.groups()))
    if text.upper() in ZONES:
        return Zone(text, initial=ZONES[text.upper()] * 60)
    name = text[1:] if text.startswith(":") else text
    dirs = [zone_dir] if zone_dir else [os.environ["TZDIR"]] if os.environ.get("TZDIR") else list(ZONE_DIRS)
    if name and ".." not in name.split("/"):
        for folder in dirs:
            path = os.path.join(folder, name)
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    return read_tzif(f.read(), name)
    try:
        return Zone(text, rule=posix_rule(text))
    except ValueError:
        raise ZoneError("%r is no +hhmm, zone name, zoneinfo name (looked for in %s) or POSIX TZ rule"
                        % (text, ", ".join(dirs)))


def xmltv_format(start):
    return time.strftime("%Y%m%d%H%M%S +0000", time.gmtime(start))


def safe_name(channel_id, taken):
    """A file name for a channel id: letters, digits, '.', '_' and '-' kept,
    anything else '_', no leading dot, at most 64 characters; '~2', '~3'...
    (which no id maps to) where an earlier id took the name."""
    name = _cleaned(channel_id)
    candidate, n = name, 1
    while candidate in taken:
        n += 1
        candidate = "%s~%d" % (name, n)
    taken.add(candidate)
    return candidate


def _fit(title):
    """The title cut to what reading keeps: cp1251 with replacement gives
    each character one byte (a surrogate half too)."""
    return title[:TITLE_MAX]


# Compressed listings by their first bytes, whatever their name: the
# decompressor module and how to make one object per member.
_COMPRESSED = (
    (b"\x1f\x8b", "gzip", "zlib", lambda module: module.decompressobj(16 + module.MAX_WBITS)),
    (b"BZh", "bzip2", "bz2", lambda module: module.BZ2Decompressor()),
    (b"\xfd7zXZ\x00", "xz", "lzma", lambda module: module.LZMADecompressor()),
)
_PIECE = 4096  # compressed bytes a step
_OUT = 65536  # decompressed bytes a step, where the decompressor can bound them (2.7's bz2 cannot)


class _Source(object):
    """A listing's bytes as the parser reads them, decompressed as a stream
    where they are compressed, at most _OUT bytes a step: decompressor
    objects, since 2.7's GzipFile cannot read a pipe and its BZ2File takes
    only a name. Members after the first (cat a.gz b.gz) are read too, and
    zero bytes after the last gzip member, as gzip reads them."""

    def __init__(self, raw):
        self.raw, self.pending, self.make, self.draining = raw, raw.read(_PIECE), None, False
        for magic, kind, name, make in _COMPRESSED:
            if self.pending.startswith(magic):
                try:
                    module = __import__(name)
                except ImportError:
                    raise DocumentError("it is %s-compressed, and this Python has no %s module to read it"
                                        % (kind, name))
                self.kind, self.make = kind, lambda make=make, module=module: make(module)
                self._next_member()

    def _next_member(self):
        self.decompressor, self.fed, self.draining = self.make(), False, False

    def _member_ended(self):
        """Whether the member being read reached its end (a download cut
        short stops inside one)."""
        if not self.fed:
            return True
        eof = getattr(self.decompressor, "eof", None)
        if eof is not None:
            return eof
        try:  # 2.7 tells no end: past it, a byte more is left unused (zlib) or refused (bz2)
            self.decompressor.decompress(b"\0")
        except EOFError:
            return True
        except Exception:
            return False
        return getattr(self.decompressor, "unused_data", b"") == b"\0"

    def _inflate(self, piece):
        """Output for piece, bounded where the decompressor can be."""
        d = self.decompressor
        if hasattr(d, "unconsumed_tail"):  # zlib: the input it did not take waits
            out = d.decompress(piece, _OUT)
            self.pending = d.unconsumed_tail
        elif hasattr(d, "needs_input"):  # bz2 and lzma in 3: the output it holds back waits
            out = d.decompress(piece, _OUT)
            self.draining = not d.needs_input and not d.eof
        else:
            out = d.decompress(piece)
        self.fed = True
        return out

    def _only_zeros(self, piece):
        while piece:
            if piece.strip(b"\0"):
                return False
            piece = self.raw.read(_PIECE)
        return True

    def read(self, size=-1):
        while True:
            if self.draining:
                piece = b""
            else:
                piece, self.pending = self.pending or self.raw.read(_PIECE), b""
                if self.make is None:
                    return piece
                if not piece:
                    if not self._member_ended():
                        raise DocumentError("its %s stream ends early, as a download cut short does: fetch it again"
                                            % self.kind)
                    return piece
                if not self.fed and self.kind == "gzip" and piece[:1] == b"\0" and self._only_zeros(piece):
                    return b""  # padding after the last member
            try:
                out = self._inflate(piece)
            except EOFError:  # bz2 and lzma after their end: a new member
                self._next_member()
                self.pending = piece
                continue
            except MemoryError:
                raise
            except Exception as error:  # zlib.error, IOError, lzma.LZMAError
                raise DocumentError("its compressed stream is broken: %s" % error)
            rest = getattr(self.decompressor, "unused_data", b"")
            if rest and not self.draining:
                self._next_member()
                self.pending = rest + self.pending
            if out:
                return out


# What a listing may hold, and no more: a real XMLTV week needs a fraction.
LIMITS = {"depth": 64, "attributes": 256, "token": 1 << 20}


class _Text(object):
    """An element's text as ElementTree's .text gives it (up to its first
    child), stripped, at most limit characters kept: the rest is counted,
    never held."""

    def __init__(self, limit):
        self.parts, self.size, self.limit, self.started, self.more, self.closed = [], 0, limit, False, False, False

    def add(self, data):
        if self.closed:
            return
        if not self.started:
            data = data.lstrip()
            self.started = bool(data)
        room = self.limit - self.size
        if room > 0:
            self.parts.append(data[:room])
            self.size += len(self.parts[-1])
        self.more = self.more or bool(data[room:].strip())

    def value(self):
        text = u"".join(self.parts)
        return text if self.more else text.rstrip()


class _Intake(object):
    """One expat pass over a listing that refuses what a listing never
    needs and could take any memory (declarations in the DTD, entities
    among them; nesting, attributes and tokens past LIMITS) and keeps only
    what a pair holds: each wanted channel's display name and its
    programmes' starts, stops and titles, titles cut to TITLE_MAX."""

    def __init__(self, expat, options, report):
        self.expat, self.options, self.report = expat, options, report
        self.parser = parser = expat.ParserCreate(namespace_separator="}")  # as ElementTree reads names
        parser.buffer_text, parser.buffer_size = True, _OUT  # a text in one call, not a call a line
        for name in ("EntityDecl", "UnparsedEntityDecl", "NotationDecl", "AttlistDecl", "ElementDecl"):
            setattr(parser, name + "Handler", self._declared(name))
        parser.StartElementHandler, parser.EndElementHandler = self._start, self._end
        # Text nobody keeps goes to a C callable that holds only the last
        # piece: no Python frame a piece, yet a new piece shows progress.
        self.skipped = collections.deque([None], 1)
        parser.CharacterDataHandler = self.skipped.append
        self.most_deep, self.most_attributes = LIMITS["depth"], LIMITS["attributes"]
        for name in ("Comment", "ProcessingInstruction", "StartCdataSection", "EndCdataSection", "StartDoctypeDecl",
                     "EndDoctypeDecl", "XmlDecl"):
            setattr(parser, name + "Handler", self._event)
        self.depth = self.events = 0
        self.item = self.text = None
        self.programmes, self.displays, self.over = {}, {}, {}

    def _where(self):
        return "line %d" % self.parser.CurrentLineNumber

    def _declared(self, kind):
        what = {"NotationDecl": "a notation", "AttlistDecl": "an attribute list", "ElementDecl": "an element"}.get(kind)

        def refuse(*args):
            raise DocumentError("it declares %s: declarations are refused (%s), as a listing needs none and "
                                "expanding entities can take any memory" % (what or "the entity %s" % args[0],
                                                                            self._where()))
        return refuse

    def _event(self, *_):
        self.events += 1

    def _start(self, name, attributes):
        self.events += 1
        self.depth = depth = self.depth + 1
        if depth > self.most_deep:
            raise DocumentError("elements nested deeper than %d (%s)" % (LIMITS["depth"], self._where()))
        if len(attributes) > self.most_attributes:
            raise DocumentError("an element with more than %d attributes (%s)" % (LIMITS["attributes"], self._where()))
        if depth == 2:
            key = "channel" if name == "programme" else "id" if name == "channel" else None
            channel = attributes.get(key) if key else None
            if channel is not None and (self.options.wanted is None or channel in self.options.wanted):
                self.item = (name, channel, attributes.get("start", u""), attributes.get("stop"), [], [])
        elif depth == 3 and self.item is not None and (name, self.item[0]) in (
                ("title", "programme"), ("display-name", "channel")):
            self.text = _Text(TITLE_MAX)
            self.item[4].append((attributes.get("lang"), self.text))
            self.parser.CharacterDataHandler = self._text
        elif self.text is not None:
            self._stop_text()  # .text ends at the first child

    def _text(self, data):
        self.events += 1
        self.text.add(data)

    def _stop_text(self):
        self.text = None
        self.parser.CharacterDataHandler = self.skipped.append

    def _end(self, name):
        self.events += 1
        self.depth = depth = self.depth - 1
        if depth > 2:
            return
        if self.text is not None:
            self._stop_text()
        if depth == 1 and self.item is not None:
            kind, channel, start, stop, texts, _ = self.item
            self.item = None
            if kind == "channel":
                self.programmes.setdefault(channel, [])
                if texts and texts[0][1].value():
                    self.displays[channel] = texts[0][1].value()
            else:
                titles = [(lang, text.value()) for lang, text in texts]
                title = ([t for language in self.options.languages for lang, t in titles if lang == language]
                         + [t for _, t in titles] + [None])[0]
                _take_programme(channel, start, stop, title, self.options, self.programmes, self.over, self.report)

    def parse(self, source):
        """Feeds the listing in pieces; a piece that gives no event at all
        past LIMITS["token"] bytes is a token that big, refused before expat
        has held more."""
        silent = 0
        try:
            while True:
                piece = source.read(_OUT)
                for at in range(0, len(piece), _OUT):
                    before = self.events, self.skipped[0]
                    self.parser.Parse(piece[at:at + _OUT], False)
                    quiet = self.events == before[0] and self.skipped[0] is before[1]
                    silent = silent + len(piece[at:at + _OUT]) if quiet else 0
                    if silent > LIMITS["token"]:
                        raise DocumentError("a tag, comment, processing instruction or DOCTYPE longer than %d bytes "
                                            "(from about byte %d)" % (LIMITS["token"],
                                                                      self.parser.CurrentByteIndex))
                if not piece:
                    self.parser.Parse(b"", True)
                    break
        except self.expat.ExpatError as error:
            raise DocumentError("not XML: %s" % error)
        except LookupError as error:
            raise DocumentError("its encoding has no codec here: %s" % error)
        for channel, count in self.over.items():
            self.report.refused[channel] = "%d programmes or more; a pair holds at most %d" % (count, MAX_ENTRIES)
        return self.programmes, self.displays


class Conversion(object):
    """What from_xmltv did. channels: [(id, file name, display name)] of the
    pairs written or left as they were (unchanged: how many of those);
    skipped: {reason: [count, first three (channel, start as written,
    title)]} of programmes left out; outside: programmes outside --days;
    stale: temporary files of killed runs removed; refused: {channel: why}
    for channels a pair cannot hold; failed:
    {channel: why} for pairs that could not be written; notes: lines on
    titles changed and channels asked for that the listing lacks."""

    def __init__(self):
        self.channels, self.skipped, self.refused, self.failed, self.notes = [], {}, {}, {}, []
        self.missing = []  # channels asked for that the listing lacks
        self.pruned, self.held_back = [], []  # (id, stem) of pairs removed; why none were
        self.unchanged = self.outside = self.stale = 0

    def skip(self, reason, channel, start, title):
        count_and_first = self.skipped.setdefault(reason, [0, []])
        count_and_first[0] += 1
        if len(count_and_first[1]) < 3:
            count_and_first[1].append((channel, start, title))

    def status(self, quiet=False):
        """The exit status; quiet: skipped programmes and changed titles,
        which nobody on the box can mend, are no failure."""
        if self.failed:
            return CANNOT
        if self.refused or (self.skipped and not quiet):
            return ERRORS
        return WARNINGS if self.missing or self.held_back or (self.notes and not quiet) else CLEAN


class _Options(object):
    def __init__(self, channels, languages, zone, days, now, mapping, prune):
        self.wanted = None if channels is None else set(channels)
        self.languages, self.zone, self.now, self.mapping, self.prune = languages, zone, now, mapping or {}, prune
        self.end = None if days is None else now + days * 86400


def _take_programme(channel, written, stop_written, title, options, programmes, over, report):
    try:
        start = xmltv_time(written, options.zone)
    except UnknownZone:
        return report.skip("unknown time zone", channel, written, title)
    except ValueError:
        return report.skip("bad start time", channel, written, title)
    if title is None:
        return report.skip("no title", channel, written, title)
    if not INT32[0] <= start <= INT32[1]:
        return report.skip("start outside the 32-bit range", channel, written, title)
    stop = None
    if options.end is not None:
        try:
            stop = xmltv_time(stop_written or u"", options.zone)
        except ValueError:
            pass  # ignored: the next start tells when it is over
        if start >= options.end:  # one before it may still need its start: the rest wait
            report.outside += 1
            return
    kept = programmes.setdefault(channel, [])
    if kept is None:
        over[channel] += 1
    elif len(kept) == MAX_ENTRIES:  # refused at once, not after holding them all
        programmes[channel] = None
        over[channel] = MAX_ENTRIES + 1
    else:
        kept.append((start, _fit(title), stop))


def _read_listing(source, options, report):
    """{channel: [(start, title, stop)], or None where refused}, {channel:
    display name}; DocumentError for a listing refused whole."""
    # Only here: a box's Python may lack the XML parser the rest never needs.
    import xml.parsers.expat as expat
    try:
        if source != "-":
            with open(source, "rb") as f:
                return _Intake(expat, options, report).parse(_Source(f))
        stdin = getattr(sys.stdin, "buffer", sys.stdin)
        if stdin is None:
            raise DocumentError("standard input is closed")
        try:
            source = _Source(stdin)
        except (IOError, OSError, ValueError) as error:  # a closed or unreadable descriptor
            raise DocumentError("standard input cannot be read: %s"
                                % (_why(error) if isinstance(error, EnvironmentError) else _message(error)))
        return _Intake(expat, options, report).parse(source)
    except MemoryError:
        raise DocumentError("the listing needed more memory than this machine has")


def _on_air(held, now):
    """The programmes not over at now: over is a stop at or before it, or,
    without a stop, the channel's next later start at or before it."""
    held = sorted(held, key=lambda p: p[0])  # stable: equal starts keep listing order
    starts = [start for start, _, _ in held]
    kept = []
    for start, title, stop in held:
        later = bisect.bisect_right(starts, start)
        end = stop if stop is not None else starts[later] if later < len(starts) else None
        if end is None or end > now:
            kept.append((start, title))
    return kept


def from_xmltv(source, out_dir, channels=None, languages=(), zone=0, days=None, now=None, lock=False, wait=300,
               mapping=None, prune=False):
    """One pair per channel of the XMLTV listing at the path source ("-":
    standard input; gzip, bzip2 or xz by its first bytes), streamed: all
    channels, or those of channels. zone: seconds east of UTC of times that
    carry no offset. days: keep only programmes on air at now (default the
    clock) or starting before now plus days. lock: write holding the
    folder's lock, as the command does (see write). Each channel keeps its
    file name from run to run (MANIFEST_NAME in out_dir lists them);
    mapping, {id: stem} as read_map reads it, names some. prune: remove
    the pairs of listed channels the listing no longer holds (in scope:
    all, or those of channels). Returns a Conversion;
    raises DocumentError for a listing refused whole, before anything is
    written."""
    source, out_dir = _path(source), _path(out_dir)
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise NotAFolder(out_dir)
    options = _Options(channels, languages, zone, days, time.time() if now is None else now, mapping, prune)
    report = Conversion()
    programmes, displays = _read_listing(source, options, report)
    for channel in sorted(options.wanted or ()):
        if channel not in programmes:
            report.missing.append(channel)
            report.notes.append("channel %s: not in the listing" % channel)
    if not os.path.isdir(out_dir):
        os.makedirs(out_dir)
    with _lock(out_dir, lock, wait):
        report.stale = remove_stale(out_dir)
        _store_channels(programmes, displays, out_dir, options, report)
    report.channels.sort()
    return report


def _store_channels(programmes, displays, out_dir, options, report):
    manifest = read_manifest(out_dir)
    listed = set(programmes)
    for channel in sorted(programmes):
        if any(c in text for text in (channel, displays.get(channel, u"")) for c in u"\t\n\r"):
            report.refused[channel] = "its id or display name holds a tab or a line break, which the channel list " \
                                      "cannot hold"
            programmes[channel] = None
    stems = _stems([c for c in programmes if programmes[c] is not None], out_dir, manifest, options.mapping)
    used = dict((stem.lower(), cid) for cid, stem in stems.items())
    kept = dict((cid, entry) for cid, entry in (manifest or {}).items() if used.get(entry[0].lower(), cid) == cid)
    for channel in sorted(stems):
        held = programmes.pop(channel)
        entries = _on_air(held, options.now) if options.end is not None else [(s, t) for s, t, _ in held]
        report.outside += len(held) - len(entries)
        name = stems[channel]
        counts = {}
        try:
            index, data, _ = build(entries, errors="fold", counts=counts)
            report.unchanged += not store(os.path.join(out_dir, str(name)), index, data)  # ASCII: 2.7 keeps paths bytes
        except GuideError as error:
            report.refused[channel] = _message(error)
            continue
        except (IOError, OSError) as error:  # a full disk, say: the other channels still go
            report.failed[channel] = _why(error)
            continue
        changes = [_count(counts["folded"], "letter") + " folded to the base letter"] if counts["folded"] else []
        changes += [_count(counts["replaced"], "character") + " written as '?'"] if counts["replaced"] else []
        if changes:
            report.notes.append("channel %s: %s (no cp1251 byte)" % (channel, ", ".join(changes)))
        kept[channel] = (name, displays.get(channel, channel))
        report.channels.append((channel, name, kept[channel][1]))
    if options.prune and manifest is not None:
        kept = _prune(out_dir, kept, listed, options.wanted, report)
    if manifest is not None or kept:
        try:
            _write_manifest(out_dir, kept)
        except (IOError, OSError) as error:
            report.failed[None] = _why(error)


# --- which pair a channel is: the manifest, the map, pruning --------------------

MANIFEST_NAME = ".quarnel-guide.channels"  # id<TAB>stem<TAB>display name, a line a channel
_SAFE_STEM = re.compile(r"[A-Za-z0-9_-][A-Za-z0-9._~-]{0,63}\Z")


def _cleaned(channel_id):
    name = re.sub(r"[^A-Za-z0-9._-]", "_", channel_id)[:64] or "_"
    return "_" + name[1:] if name.startswith(".") else name


def read_manifest(out_dir):
    """{id: (stem, display name)} of the channels from_xmltv manages in
    out_dir; None where it keeps no list yet (a folder of an older version)."""
    try:
        with io.open(os.path.join(out_dir, MANIFEST_NAME), encoding="utf-8") as f:
            lines = f.read().splitlines()
    except (IOError, OSError) as error:
        if error.errno == errno.ENOENT:
            return None
        raise
    manifest = {}
    for line in lines:
        fields = line.split(u"\t")
        if len(fields) == 3 and _SAFE_STEM.match(fields[1]):
            manifest[fields[0]] = (str(fields[1]), fields[2])
    return manifest


def _write_manifest(out_dir, manifest):
    text = u"".join(u"%s\t%s\t%s\n" % (cid, stem, display) for cid, (stem, display) in sorted(manifest.items()))
    path = os.path.join(out_dir, MANIFEST_NAME)
    if not _holds(path, text.encode("utf-8")):
        _replace_file(path, text.encode("utf-8"))


def read_map(path):
    """{id: stem} from a map file: id<TAB>stem lines (further columns
    ignored, # lines and blank ones skipped). DocumentError naming the line
    for a line without a tab, an id twice, a stem twice (case-blind) or one
    that is no safe file name."""
    with io.open(path, encoding="utf-8") as f:
        try:
            lines = f.read().splitlines()
        except UnicodeDecodeError as error:
            raise DocumentError("%s: not UTF-8 (%s)" % (_shown(path), error))
    mapping, stems = {}, {}
    for number, line in enumerate(lines, 1):
        if not line.strip() or line.startswith(u"#"):
            continue
        where = "%s line %d" % (_shown(path), number)
        fields = line.split(u"\t")
        if len(fields) < 2:
            raise DocumentError("%s: no tab between the channel id and the file name" % where)
        cid, stem = fields[0], fields[1]
        if not _SAFE_STEM.match(stem):
            raise DocumentError(u"%s: %r is no safe file name (letters, digits, '.', '_', '-' and '~', no leading "
                                u"dot, at most 64)" % (where, stem))
        if cid in mapping:
            raise DocumentError(u"%s: the channel %s is named twice" % (where, cid))
        if stem.lower() in stems:
            raise DocumentError(u"%s: the file name %s is given to %s already (FAT sees no case)"
                                % (where, stem, stems[stem.lower()]))
        mapping[cid], stems[stem.lower()] = str(stem), cid
    return mapping


def _on_disk(out_dir):
    """The stems of the files in out_dir, lower-cased: FAT tells no case apart."""
    stems = set()
    for name in os.listdir(out_dir):
        if name.endswith((".ndx", ".pdt")):
            stems.add(_shown(name[:-4]).lower())
    return stems


def _stems(channels, out_dir, manifest, mapping):
    """{id: stem} for the channels of a run: the map's first, then the
    manifest's, then (a folder without one) the names an older version gave
    that are on disk, then a new name for each that collides, without
    regard to case, with none in use or on disk."""
    stems, taken = {}, {}
    order = sorted(channels, key=lambda c: (_cleaned(c) != c, c))
    for cid in order:
        if cid in mapping:
            stems[cid], taken[mapping[cid].lower()] = mapping[cid], cid
    for cid, (stem, _) in sorted((manifest or {}).items()):
        if stem.lower() not in taken and cid not in mapping:
            taken[stem.lower()] = cid
            if cid in channels:
                stems[cid] = stem
    disk = _on_disk(out_dir)
    if manifest is None:  # an older version's folder: what it named stays
        earlier = set()
        for cid in order:
            stem = safe_name(cid, earlier)
            if cid not in stems and stem.lower() not in taken and stem.lower() in disk:
                stems[cid], taken[stem.lower()] = stem, cid
    for cid in order:
        if cid not in stems:
            base, n, stem = _cleaned(cid), 1, _cleaned(cid)
            while stem.lower() in taken or stem.lower() in disk:
                n += 1
                stem = "%s~%d" % (base, n)
            stems[cid], taken[stem.lower()] = stem, cid
    return stems


def _prune(out_dir, manifest, listed, wanted, report):
    """Removes the pairs of managed channels the listing no longer holds,
    unless that is none of its channels or more than half of those in
    scope; returns the manifest left."""
    scope = [cid for cid in manifest if wanted is None or cid in wanted]
    gone = sorted(cid for cid in scope if cid not in listed)
    if not gone:
        return manifest
    if not listed:
        report.held_back.append("nothing pruned: the listing holds no channel")
        return manifest
    if 2 * len(gone) > len(scope):
        report.held_back.append("nothing pruned: %d of the %s would go, which looks like a broken feed"
                                % (len(gone), _count(len(scope), "channel")))
        return manifest
    for cid in gone:
        stem = manifest.pop(cid)[0]
        for suffix in (".ndx", ".pdt"):
            try:
                os.unlink(os.path.join(out_dir, stem + suffix))
            except OSError as error:
                if error.errno != errno.ENOENT:
                    raise
        report.pruned.append((cid, stem))
    return manifest


def channel_id(name):
    """A dotted channel id, as XMLTV's validator asks, from a pair's file name."""
    text = re.sub(r"[^A-Za-z0-9.-]", "-", name).strip(".") or "channel"
    return text if "." in text else text + ".quarnel"


def _xml_text(text):
    # Characters XML 1.0 cannot carry (cp1251 maps bytes below 0x20 to them).
    text = re.sub(u"[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]", u"\ufffd", text)
    return text.replace(u"&", u"&amp;").replace(u"<", u"&lt;").replace(u">", u"&gt;")


def quoteattr(text):
    return u'"%s"' % _xml_text(text).replace(u'"', u"&quot;").replace(u"\n", u"&#10;").replace(u"\t", u"&#9;")


def _collect(pairs):
    """([(id, display name, entries by start)], entries skipped for an empty
    title, pairs skipped for holding none left)."""
    channels, skipped_titles, skipped_pairs = [], 0, 0
    for stem, cid, display in pairs:
        entries = read_pure(_path(stem), quiet=True)
        kept = [(start, title) for start, title in entries if title.strip()]
        skipped_titles += len(entries) - len(kept)
        if kept:
            channels.append((cid, display, sorted(kept, key=lambda e: e[0])))
        else:
            skipped_pairs += 1
    return channels, skipped_titles, skipped_pairs


def _emit(channels, out):
    out.write(u'<?xml version="1.0" encoding="UTF-8"?>\n<!DOCTYPE tv SYSTEM "xmltv.dtd">\n')
    out.write(u'<tv generator-info-name="quarnel-guide">\n')
    for cid, display, _ in channels:
        out.write(u"  <channel id=%s>\n    <display-name>%s</display-name>\n  </channel>\n"
                  % (quoteattr(cid), _xml_text(display)))
    for cid, _, entries in channels:
        for i, (start, title) in enumerate(entries):
            stop = u"" if i + 1 == len(entries) else u" stop=%s" % quoteattr(xmltv_format(entries[i + 1][0]))
            out.write(u"  <programme start=%s%s channel=%s>\n    <title>%s</title>\n  </programme>\n"
                      % (quoteattr(xmltv_format(start)), stop, quoteattr(cid), _xml_text(title)))
    out.write(u"</tv>\n")


def to_xmltv(pairs, out):
    """Writes an XMLTV document to the text stream out for pairs, a list of
    (stem, channel id, display name), every pair read before anything is
    written. Returns the entries skipped for an empty title and the pairs
    skipped for holding none left."""
    channels, skipped_titles, skipped_pairs = _collect(pairs)
    _emit(channels, out)
    return skipped_titles, skipped_pairs


def file_text(name):
    """A file name as text XML can hold: what the file system encoding (in
    Python 2, UTF-8) cannot decode becomes U+FFFD."""
    if isinstance(name, bytes):
        return name.decode("utf-8", "replace")
    if str is bytes:  # Python 2's unicode names are text already
        return name
    encoding = sys.getfilesystemencoding()
    return name.encode(encoding, "surrogateescape").decode(encoding, "replace")


def _escape_bytes(error):
    return u"".join(u"\\x%02x" % b for b in bytearray(error.object[error.start:error.end])), error.end


codecs.register_error("quarnel-guide-escape", _escape_bytes)


def _shown(name):
    """A file name (or any bytes) as text for a message: UTF-8, as boxes
    name files, whatever the locale says (ASCII under cron); what does not
    decode as \\xNN."""
    if isinstance(name, TEXT) and str is not bytes:
        name = os.fsencode(name)
    if isinstance(name, bytes):
        return name.decode("utf-8", "quarnel-guide-escape")
    return name


def _message(error):
    """An exception's message as text, whatever it was made of."""
    if str is bytes:
        try:
            return unicode(error)  # noqa: F821 (Python 2)
        except UnicodeError:
            return _shown(b" ".join(a if isinstance(a, bytes) else repr(a) for a in error.args))
    return str(error)


def _count(n, word, plural=None):
    return "%d %s" % (n, word if n == 1 else plural or word + "s")


def _why(error):
    """An OSError as one line: the file and the reason."""
    reason = _shown(error.strerror) if error.strerror else _message(error)
    name = getattr(error, "filename", None)
    return u"%s: %s" % (_shown(name), reason) if name else reason


# --- places and the grid ---------------------------------------------------------

def _path(place):
    """A str or bytes path of place, os.PathLike included (Python 3)."""
    fspath = getattr(os, "fspath", None)
    return fspath(place) if fspath else place


def _suffix_of(name):
    for suffix in (".ndx", ".pdt"):
        if name.endswith(suffix if isinstance(name, TEXT) else suffix.encode("ascii")):
            return suffix
    return None


def pairs_in(place):
    """[(stem, what is missing or None)] of a place: every pair of a folder
    in name order, a lone .ndx or .pdt named with what it lacks; or the
    stem given, x.ndx and x.pdt taken as x unless a pair x.ndx exists."""
    place = _path(place)
    if os.path.isdir(place):
        found = {}
        for name in os.listdir(place):
            suffix = _suffix_of(name)
            if suffix and not name.startswith((".", b".") if isinstance(name, bytes) else "."):
                found.setdefault(name[:-4], set()).add(suffix)
        return [(os.path.join(place, stem), None if len(found[stem]) == 2 else
                 "the %s is missing beside the %s" % tuple(sorted(set([".ndx", ".pdt"]) - found[stem]) + list(found[stem])))
                for stem in sorted(found)]
    suffix = _suffix_of(place)
    index = place + (".ndx" if isinstance(place, TEXT) else b".ndx")
    if suffix and not os.path.exists(index):
        return [(place[:-4], None)]
    return [(place, None)]


def cells(text):
    """Terminal cells of text: East Asian wide and full-width characters
    two, combining marks none, anything else one."""
    import unicodedata
    return sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def _fit_cells(text, width, more):
    """text in exactly width cells: cut with the mark more, or padded."""
    text = u"".join(u"?" if ord(c) < 32 or 0x7f <= ord(c) < 0xa0 else c for c in text)
    if cells(text) <= width:
        return text + u" " * (width - cells(text))
    kept = u""
    for c in text:
        if cells(kept + c) > width - cells(more):
            break
        kept += c
    return kept + more + u" " * (width - cells(kept + more))


def _window(entries, start, end):
    """What between(stem, start, end) gives, from all the entries."""
    before = [e for e in entries if e[0] <= start]
    return tuple(before[-1:] + [e for e in entries if start < e[0] < end])


def grid_lines(rows, start, hours, width, local=True, more=u"\u2026"):
    """The grid: rows of (name, entries in the window, or a text saying why
    there are none), time across from start for hours, width cells wide."""
    end = start + int(hours * 3600)
    name_width = min(16, max([cells(name) for name, _ in rows] + [10]))
    span = max(1, width - name_width - 1)
    step = float(end - start) / span
    at = time.localtime if local else time.gmtime
    header = [u" "] * span
    mark = (start // 1800 + (start % 1800 > 0)) * 1800
    while mark < end:
        column = int((mark - start) / step + 0.999999)
        label = time.strftime("%H:%M", at(mark))
        if column + len(label) <= span and all(c == u" " for c in header[max(0, column - 1):column + len(label)]):
            header[column:column + len(label)] = list(label)
        mark += 1800
    lines = [_fit_cells(time.strftime("%Y-%m-%d", at(start)), name_width, more) + u" " + u"".join(header)]
    for name, entries in rows:
        line = _fit_cells(name, name_width, more) + u" "
        if isinstance(entries, TEXT) or not entries:
            lines.append(line + _fit_cells(entries or u"(nothing in this window)", span, more))
            continue
        shown = [e for i, e in enumerate(entries) if i + 1 == len(entries) or entries[i + 1][0] != e[0]]
        on_air = [e for e in shown if e[0] <= start][-1:]
        starts = [e[0] for e in shown]  # per cell: the programme on at the cell's first moment
        owner = [bisect.bisect_right(starts, start + column * step) - 1 for column in range(span)]
        owner = [None if i < 0 else i for i in owner]
        column = 0
        while column < span:
            first = column
            while column < span and owner[column] == owner[first]:
                column += 1
            if owner[first] is None:
                line += u" " * (column - first)
                continue
            programme = shown[owner[first]]
            lead = u">" if programme in on_air else u"|"
            line += lead + _fit_cells(programme[1], column - first - 1, more) if column - first > 1 else lead
        lines.append(line)
    return lines


def _terminal_width():
    try:
        import shutil
        return shutil.get_terminal_size((80, 24)).columns
    except (ImportError, AttributeError):  # 2.7
        try:
            import termios
            return struct.unpack("hh", fcntl.ioctl(1, termios.TIOCGWINSZ, b"\0" * 4))[1] or 80
        except (IOError, OSError, ImportError):
            return int(os.environ.get("COLUMNS", "80") or 80)


# --- the command line ---------------------------------------------------------

def _text_out():
    """UTF-8 on standard output, whatever its own encoding (and without
    closing it when dropped, as a TextIOWrapper would)."""
    return codecs.getwriter("utf-8")(getattr(sys.stdout, "buffer", sys.stdout))


def _line(stream, text):
    """One line on a stream of report lines: in the stream's own encoding
    with backslash escapes for what it lacks, UTF-8 where it declares none
    (2.7's pipes and files), so no title, id or name can end a run."""
    if isinstance(text, bytes):
        text = _shown(text)
    encoding = getattr(stream, "encoding", None) or "utf-8"
    try:
        codecs.lookup(encoding)
    except LookupError:
        encoding = "utf-8"
    raw = (text + u"\n").encode(encoding, "backslashreplace")
    stream.write(raw if str is bytes else raw.decode(encoding))


def _err(text):
    _line(sys.stderr, text)


class _Console(object):
    """What a command prints, through one door. Data lines (the mapping)
    go to standard output in UTF-8, reports and problems to standard error;
    every line is kept for --log. quiet holds back all but problems."""

    def __init__(self, quiet=False):
        self.quiet, self.lines = quiet, []

    def data(self, text):
        self.lines.append(text)
        if not self.quiet:
            out = _text_out()
            out.write(text + u"\n")
            out.flush()

    def report(self, text):
        self.lines.append(text)
        if not self.quiet:
            _err(text)

    def problem(self, text):
        self.lines.append(text)
        _err(text)


def _load_entries(path):
    """The [start, title] pairs of a JSON file ("-": standard input)."""
    with io.open(path, encoding="utf-8") if path != "-" else _stdin_text() as f:
        try:
            loaded = json.load(f)
        except ValueError as error:  # UnicodeDecodeError is a ValueError
            raise DocumentError("%s: not a JSON list of [start, title] pairs (%s)" % (_shown(path), _message(error)))
        except RuntimeError:  # RecursionError: nested past the interpreter's depth
            raise DocumentError("%s: not a JSON list of [start, title] pairs (nested too deep)" % _shown(path))
    if not isinstance(loaded, list):
        raise DocumentError("%s: a JSON %s, where a list of [start, title] pairs is needed, such as "
                            "[[1767268800, \"News\"]]" % (_shown(path), type(loaded).__name__))
    entries = []
    for number, entry in enumerate(loaded):
        if not isinstance(entry, list):
            raise GuideError("entry %d: %s is not a [start, title] list" % (number, json.dumps(entry)))
        entries.append(tuple(entry))
    return entries


def _command_write(args, console):
    entries = _load_entries(args.entries)
    folder = os.path.dirname(os.path.abspath(args.stem))
    try:
        with _FolderLock(folder, args.wait):
            _report_stale(console, remove_stale(folder))
            replaced = write(args.stem, entries, errors=args.errors, keep_order=args.keep_order)
    except Unencodable as error:
        raise GuideError(error.words("--errors replace", "--errors fold"))
    console.report(u"wrote %s.ndx and %s.pdt: %s%s" % (
        _shown(args.stem), _shown(args.stem), _count(len(entries), "entry", "entries"),
        ", %s replaced" % _count(replaced, "character") if replaced else ""))
    return WARNINGS if replaced and not args.quiet else CLEAN


def _report_stale(console, removed):
    if removed:
        console.report("%s of killed runs removed" % _count(removed, "temporary file"))


def _stdin_text():
    return io.open(sys.stdin.fileno(), encoding="utf-8", closefd=False)


def _command_check(args, console):
    worst = CLEAN
    out = _text_out()
    for stem, lone in [pair for place in args.stems for pair in pairs_in(place)]:
        try:
            findings = [Finding("error", None, lone)] if lone else check(stem)
        except (IOError, OSError) as error:
            out.flush()
            console.problem(u"%s: cannot check: %s" % (_shown(stem), _why(error)))
            worst = CANNOT
            continue
        for finding in findings or [u"no findings"]:
            out.write(u"%s: %s\n" % (_shown(stem), finding))
        worst = max(worst, check_status(findings))
    out.flush()
    return worst


class _Sink(object):
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def _without_module_lines(call):
    """call() with the module's "Can't open file" and "Read error!" lines
    (through sys.stdout in Python 3, the C stream in 2.7) kept off standard
    output, which holds only what was asked for: the exception says it."""
    sys.stdout.flush()
    saved_fd, null = os.dup(1), os.open(os.devnull, os.O_WRONLY)
    saved, sys.stdout = sys.stdout, _Sink()
    try:
        os.dup2(null, 1)
        return call()
    finally:
        sys.stdout = saved
        sys.stdout.flush()  # 2.7: the C stream's buffer, where "Read error!" may wait
        os.dup2(saved_fd, 1)
        os.close(saved_fd)
        os.close(null)


def _command_dump(args, console):
    pairs = [pair for place in args.stems for pair in pairs_in(place)]
    several = len(args.stems) > 1 or any(os.path.isdir(place) for place in args.stems)
    out, worst, everything = _text_out(), CLEAN, {}
    for stem, lone in pairs:
        try:
            if lone:
                raise OSError(errno.ENOENT, lone, stem)
            entries = read_pure(stem, quiet=True) if args.pure else _without_module_lines(lambda: read(stem)[0])
        except (IOError, OSError) as error:
            out.flush()
            console.problem(u"%s: cannot read: %s" % (_shown(stem), _why(error)))
            worst = CANNOT
            continue
        if args.json:
            everything[_shown(stem)] = [[start, title] for start, title in entries]
            continue
        if several:
            out.write(u"== %s\n" % _shown(stem))
        for line in dump_lines(entries, args.local):
            out.write(line + u"\n")
    if args.json and (several or not worst):
        json.dump(everything if several else list(everything.values())[0], out, ensure_ascii=False, sort_keys=True)
        out.write(u"\n")
    out.flush()
    return worst


def _moment(text, utc):
    """Unix seconds of --at: seconds, or YYYY-MM-DD HH:MM in the grid's zone."""
    if re.match(r"-?[0-9]+\Z", text):
        return int(text)
    try:
        fields = time.strptime(text, "%Y-%m-%d %H:%M")
    except ValueError:
        raise UsageError("--at %s: neither Unix seconds nor YYYY-MM-DD HH:MM" % text)
    return calendar.timegm(fields) if utc else int(time.mktime(fields))


def _command_grid(args, console):
    start = _moment(args.at, args.utc) if args.at else int(time.time())
    end = start + int(args.hours * 3600)
    rows, worst = [], CLEAN
    for place in args.places:
        names = dict((stem, display) for stem, display in (read_manifest(place) or {}).values()) \
            if os.path.isdir(place) else {}
        for stem, lone in pairs_in(place):
            name = names.get(_shown(os.path.basename(stem))) or _shown(os.path.basename(stem))
            try:
                findings = [Finding("error", None, lone)] if lone else check(stem)
                worst = max(worst, check_status(findings))
                rows.append((name, u"cannot read: %s" % lone if lone else _between(stem, start, end, args.pure)))
            except (IOError, OSError) as error:
                rows.append((name, u"cannot read: %s" % _why(error)))
                worst = CANNOT
    encoding = getattr(sys.stdout, "encoding", None) or "utf-8"
    try:
        more = u"\u2026".encode(encoding) and u"\u2026"
    except (LookupError, UnicodeError):
        more = u"~"
    out = _text_out()
    for line in grid_lines(rows, start, args.hours, args.width or _terminal_width(), not args.utc, more):
        out.write(line.rstrip() + u"\n")
    out.flush()
    return worst


def _between(stem, start, end, pure):
    if not pure:
        try:
            import quarnel
            return _without_module_lines(lambda: quarnel.between(stem, start, end))
        except ImportError:
            pass
    return _window(read_pure(stem, quiet=True), start, end)


def _read_mapping(path):
    """{file name: (channel id, display name)} from from-xmltv's lines."""
    mapping = {}
    with io.open(path, encoding="utf-8") as f:
        try:
            lines = list(f)
        except UnicodeDecodeError as error:
            raise DocumentError("%s: not UTF-8 (%s)" % (_shown(path), error))
    for line in lines:
        fields = line.rstrip(u"\n").split(u"\t")
        if len(fields) >= 2:
            mapping[fields[1]] = (fields[0], fields[2] if len(fields) > 2 else fields[0])
    return mapping


def _command_from_xmltv(args, console):
    channels = args.channel or None
    languages = [l for l in (args.lang or "").split(",") if l]
    mapping = read_map(args.map) if args.map else None  # refused before anything is read or written
    try:
        report = from_xmltv(args.source, args.out_dir, channels, languages, zone(args.zone, args.zone_dir),
                            args.days, args.now, lock=True, wait=args.wait, mapping=mapping, prune=args.prune)
    except DocumentError as error:
        console.problem(u"quarnel-guide from-xmltv: %s: %s; nothing written" % (_shown(args.source), _message(error)))
        return CANNOT
    for cid, name, display in report.channels:
        console.data(u"%s\t%s\t%s" % (cid, name, display))
    written = len(report.channels) - report.unchanged
    console.report(u"%s written to %s%s" % (_count(written, "pair"), _shown(args.out_dir),
                                           ", %d left as they were" % report.unchanged if report.unchanged else ""))
    _report_stale(console, report.stale)
    if report.outside:
        console.report("%s outside the window left out" % _count(report.outside, "programme"))
    for reason in sorted(report.skipped):
        count, first = report.skipped[reason]
        console.report(u"%s skipped: %s: %s%s" % (_count(count, "programme"), reason, u"; ".join(
            u"%s %s %s" % (channel, start, u"(no title)" if title is None else u'"%s"' % title)
            for channel, start, title in first), u"; ..." if count > len(first) else u""))
    for channel in sorted(report.refused):
        console.problem(u"channel %s not written: %s" % (channel, report.refused[channel]))
    for channel in sorted(report.failed, key=lambda c: (c is None, c)):
        console.problem(u"%s could not be written: %s" % (
            u"channel %s" % channel if channel is not None else u"the list of channels %s" % MANIFEST_NAME,
            report.failed[channel]))
    for note in report.notes:
        (console.problem if note.endswith(": not in the listing") else console.report)(note)
    for cid, stem in report.pruned:
        console.report(u"channel %s pruned: its pair %s removed" % (cid, stem))
    for why in report.held_back:
        console.problem(why)
    return report.status(args.quiet)


def _positive(unit, most):
    """An argparse type: a number above 0 and below most."""
    def number(text):
        try:
            value = float(text)
        except ValueError:
            value = 0
        if not 0 < value < most:
            raise argparse.ArgumentTypeError("%r is not a positive number of %s" % (text, unit))
        return value
    return number


_days, _hours = _positive("days", 1e6), _positive("hours", 24 * 366)


def _stem_id(text):
    if "=" not in text:
        raise argparse.ArgumentTypeError("%r is not STEM=ID" % text)
    return text.split("=", 1)


def _command_to_xmltv(args, console):
    given = dict(args.id or [])
    from_map = _read_mapping(args.map) if args.map else {}
    pairs = []
    for stem in args.stems:
        name = file_text(os.path.basename(stem))
        if stem in given:
            pairs.append((stem, given[stem], given[stem]))
        elif name in from_map:
            pairs.append((stem, from_map[name][0], from_map[name][1]))
        else:
            pairs.append((stem, channel_id(name), name))
    channels, skipped_titles, skipped_pairs = _collect(pairs)
    # Opened only now: a pair that cannot be read leaves an earlier document as it was.
    out = io.open(args.output, "w", encoding="utf-8") if args.output else _text_out()
    try:
        _emit(channels, out)
    finally:
        out.flush()
        if args.output:
            out.close()
    if skipped_titles:
        console.report("%s with empty titles skipped" % _count(skipped_titles, "entry", "entries"))
    if skipped_pairs:
        console.report("%s without entries written as no channel" % _count(skipped_pairs, "pair"))
    return ERRORS if skipped_titles or skipped_pairs else CLEAN


LOG_LIMIT = 64 * 1024  # bytes a --log file holds at most


def _log_run(path, argv, status, lines):
    """Adds a run to the log at path: a line with the UTC moment, the
    arguments and the status, then its lines indented. The oldest runs go
    whole to keep the file within LOG_LIMIT; a run longer than that keeps
    its first lines and says how many it left out."""
    head = u"%s quarnel-guide %s: exit %d" % (time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
                                              u" ".join(_shown(a) for a in argv), status)
    run = [(u"  " + line).encode("utf-8", "backslashreplace") + b"\n" for line in lines]
    head = head.encode("utf-8", "backslashreplace")[:LOG_LIMIT // 4] + b"\n"
    room = LOG_LIMIT - len(head)
    if sum(len(line) for line in run) > room:
        kept, size = [], 0
        for line in run:
            if size + len(line) + 64 > room:
                break
            kept.append(line)
            size += len(line)
        run = kept + [b"  ... %d more lines left out\n" % (len(run) - len(kept))]
    runs = []
    try:
        with open(path, "rb") as f:
            for line in f:
                if runs and line.startswith(b"  "):
                    runs[-1] += line
                else:
                    runs.append(line)
    except (IOError, OSError) as error:
        if error.errno != errno.ENOENT:
            raise
    runs.append(head + b"".join(run))
    while sum(len(r) for r in runs) > LOG_LIMIT:
        runs.pop(0)
    _replace_file(path, b"".join(runs))


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        _err("%s: %s" % (self.prog, message))
        sys.exit(CANNOT)  # a usage error: nothing was checked or made


def parser():
    top = _Parser(prog="quarnel-guide", description="Make, inspect and convert guide pairs "
                                  "(<stem>.ndx + <stem>.pdt). Exit status: 0 clean, 1 warnings only, "
                                  "2 content problems, 3 could not, 130 interrupted, 143 or 129 ended by SIGTERM or SIGHUP.")
    commands = top.add_subparsers(dest="command", parser_class=_Parser)
    p = commands.add_parser("write", help="write a pair from a JSON list of [unix_start, title]")
    p.add_argument("stem")
    p.add_argument("entries", nargs="?", default="-", help="JSON file, - for standard input")
    p.add_argument("--errors", choices=ERRORS_MODES, default="strict")
    p.add_argument("--keep-order", action="store_true", help="keep the given order instead of sorting by start")
    p.add_argument("-q", "--quiet", action="store_true", help="print only failures; replaced characters are none")
    p.add_argument("--wait", type=float, default=300, metavar="SECONDS",
                   help="how long to wait for another run writing into the folder (default 300)")
    p.set_defaults(run=_command_write)
    p = commands.add_parser("check", help="report what a reader would get wrong; exit 0 clean, 1 warnings, "
                            "2 errors, 3 could not check")
    p.add_argument("stems", nargs="+", metavar="PLACE", help="a pair's stem, or a folder of pairs")
    p.set_defaults(run=_command_check)
    p = commands.add_parser("grid", help="what is on, channels down and time across")
    p.add_argument("places", nargs="+", metavar="PLACE", help="a folder of pairs, or a pair's stem")
    p.add_argument("--at", metavar="TIME", help="the window's start: Unix seconds or YYYY-MM-DD HH:MM (default: now)")
    p.add_argument("--hours", type=_hours, default=3, help="the window's length (default 3)")
    p.add_argument("--width", type=int, help="cells across (default: the terminal's, else 80)")
    p.add_argument("--utc", action="store_true", help="UTC instead of the machine's local time")
    p.add_argument("--pure", action="store_true", help="read without the quarnel extension")
    p.set_defaults(run=_command_grid)
    p = commands.add_parser("dump", help="print the entries a plugin gets")
    p.add_argument("stems", nargs="+", metavar="PLACE", help="a pair's stem, or a folder of pairs")
    p.add_argument("--local", action="store_true", help="local time instead of UTC")
    p.add_argument("--json", action="store_true")
    p.add_argument("--pure", action="store_true", help="read without the quarnel extension")
    p.set_defaults(run=_command_dump)
    p = commands.add_parser("from-xmltv", help="one pair per channel of an XMLTV listing; prints a line a channel: "
                            "id<TAB>file name<TAB>display name")
    p.add_argument("source", help="the listing: a file or - for standard input; gzip, bzip2 or xz read as such")
    p.add_argument("out_dir", help="made when missing")
    p.add_argument("--zone", default="+0000", metavar="ZONE",
                   help="the zone of times that carry no offset: +hhmm, a zone name (CET: fixed), a zoneinfo name "
                        "(Europe/Berlin) or a POSIX TZ rule (CET-1CEST,M3.5.0,M10.5.0/3); default +0000")
    p.add_argument("--zone-dir", metavar="DIR", help="where zoneinfo names are looked for (default: $TZDIR, "
                   "else /usr/share/zoneinfo, /usr/lib/zoneinfo, /usr/share/lib/zoneinfo)")
    p.add_argument("--days", type=_days, help="keep programmes on air now or starting within this many days")
    p.add_argument("--now", type=int, metavar="UNIX_SECONDS", help="the moment --days counts from (default: now)")
    p.add_argument("--channel", action="append", help="a channel id to write (repeat; default all)")
    p.add_argument("--lang", help="preferred title languages, comma-separated")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="for cron: print only failures; skipped programmes and changed titles are none")
    p.add_argument("--log", metavar="FILE", help="append each run's full report to FILE, kept within 64 KiB")
    p.add_argument("--map", metavar="FILE", help="id<TAB>file name lines naming pairs, as the lines this prints")
    p.add_argument("--prune", action="store_true",
                   help="remove the pairs of channels this wrote before that the listing no longer holds")
    p.add_argument("--wait", type=float, default=300, metavar="SECONDS",
                   help="how long to wait for another run writing into the folder (default 300)")
    p.set_defaults(run=_command_from_xmltv)
    p = commands.add_parser("to-xmltv", help="an XMLTV document from pairs")
    p.add_argument("stems", nargs="+")
    p.add_argument("--id", action="append", metavar="STEM=ID", type=_stem_id, help="the channel id of a stem")
    p.add_argument("--map", help="ids and display names from the lines from-xmltv printed")
    p.add_argument("-o", "--output")
    p.set_defaults(run=_command_to_xmltv)
    return top


def main(argv=None):
    """Runs one command; returns its exit status. Every failure is one line
    on standard error, never a traceback: a box runs this unattended."""
    argv = sys.argv[1:] if argv is None else argv
    args = parser().parse_args(argv)
    if not getattr(args, "run", None):
        parser().print_usage(sys.stderr)
        _err("quarnel-guide: a command is needed")
        return CANNOT
    console = _Console(getattr(args, "quiet", False))
    saved = _handle([n for n in _ENDING if n != signal.SIGINT], _end)
    try:
        status = _run(args, console)
    finally:
        for number, handler in saved.items():
            signal.signal(number, handler)
    if getattr(args, "log", None):
        try:
            _log_run(args.log, argv, status, console.lines)
        except (IOError, OSError) as error:
            console.problem(u"quarnel-guide %s: the log could not be written: %s" % (args.command, _why(error)))
            status = max(status, WARNINGS)
    return status


class _Ended(KeyboardInterrupt):
    """SIGTERM or SIGHUP: the run ends as Ctrl-C ends it."""


def _end(number, _):
    raise _Ended(number)


def _run(args, console):
    name = "quarnel-guide %s" % args.command
    try:
        return args.run(args, console)
    except _Ended as ended:
        number = ended.args[0]
        console.problem("%s: ended by %s" % (name, "SIGTERM" if number == signal.SIGTERM else "SIGHUP"))
        return 128 + number
    except KeyboardInterrupt:
        console.problem("%s: interrupted" % name)
        return INTERRUPTED
    except (IOError, OSError) as error:
        if error.errno != errno.EPIPE:
            console.problem(u"%s: %s" % (name, _why(error)))
            return CANNOT
        # The reader stopped (dump | head): quietly, and without the
        # interpreter's complaint when it flushes at exit.
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
        return PIPE_CLOSED
    except GuideError as error:
        console.problem(u"%s: %s" % (name, _message(error)))
        return error.status
    except MemoryError:
        console.problem("%s: out of memory" % name)
        return CANNOT
    except Exception as error:  # a fault of this tool: still one line
        console.problem(u"%s: internal error: %s: %s" % (name, type(error).__name__, _message(error)))
        return CANNOT


if __name__ == "__main__":
    sys.exit(main())
