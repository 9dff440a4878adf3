"""XMLTV times, and local times through fixed offsets, zoneinfo files and POSIX TZ rules."""

import bisect
import calendar
import datetime
import os
import re
import struct
import time

from ._status import ZoneError


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


def xmltv_format(start):
    return time.strftime("%Y%m%d%H%M%S +0000", time.gmtime(start))


ZONE_DIRS = ("/usr/share/zoneinfo", "/usr/lib/zoneinfo", "/usr/share/lib/zoneinfo")


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
