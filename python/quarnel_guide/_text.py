"""Text for messages and paths: file names as they are shown, errors as one line."""

import codecs
import os
import sys


TEXT = type(u"")


def _path(place):
    """A str or bytes path of place, os.PathLike included (Python 3)."""
    fspath = getattr(os, "fspath", None)
    return fspath(place) if fspath else place


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
