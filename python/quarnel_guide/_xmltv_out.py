"""XMLTV out: pairs to a document."""

import re

from ._text import _path
from ._pair import read_pure
from ._times import xmltv_format


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
