"""One bounded pass over a listing, keeping only what pairs hold."""

import collections
import sys

from ._text import _message, _why
from ._status import DocumentError
from ._pair import INT32, MAX_ENTRIES, TITLE_MAX
from ._times import UnknownZone, xmltv_time
from ._source import _OUT, _Source


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


class _Options(object):
    def __init__(self, channels, languages, zone, days, now, mapping, prune):
        self.wanted = None if channels is None else set(channels)
        self.languages, self.zone, self.now, self.mapping, self.prune = languages, zone, now, mapping or {}, prune
        self.end = None if days is None else now + days * 86400


def _fit(title):
    """The title cut to what reading keeps: cp1251 with replacement gives
    each character one byte (a surrogate half too)."""
    return title[:TITLE_MAX]


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
