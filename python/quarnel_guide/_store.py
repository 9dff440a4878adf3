"""Files replaced whole: a pair is old or new, never half, whatever stops the run."""

import errno
import fcntl
import os
import re
import signal
import stat
import struct
import time

from ._text import _path, _shown
from ._status import FolderLocked
from ._write import build


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
            handler = self.saved.get(number)
            if callable(handler):  # at once: a signal sent again may run its handler after the caller returned
                handler(number, None)
            else:
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
