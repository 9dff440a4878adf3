"""A pair's bytes from entries: titles in cp1251, records below 64 KiB."""

import struct

from ._text import TEXT
from ._status import GuideError, Unencodable
from ._pair import EPOCH_TICKS, INT32, MAX_ENTRIES, OFFSET_LIMIT, TICKS_PER_SECOND, TITLE_MAX


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
