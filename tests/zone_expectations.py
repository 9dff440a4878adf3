"""Instants Python 3's zoneinfo gives local wall times, with the system's
tzdata: the independent answer the guide tool's zones are checked against.
Imported by the suite in Python 3; run as a script by Python 2.7's, which has
no zoneinfo, to hand the answers over as JSON.
Usage: zone_expectations.py SAMPLES ZONE...   (SAMPLES random quarter-hours a zone,
       and every quarter-hour within two hours of each change)"""
import calendar
import datetime
import json
import random
import sys

FIRST, LAST = datetime.datetime(2020, 1, 1), datetime.datetime(2030, 12, 31, 23, 45)
QUARTER = datetime.timedelta(minutes=15)


def instant(local, zone):
    """UTC seconds of a naive local datetime in zone, fold=0."""
    return int(local.replace(tzinfo=zone).timestamp())


def every_quarter_hour():
    local = FIRST
    while local <= LAST:
        yield local
        local += QUARTER


def wall(local):
    return calendar.timegm(local.timetuple())


def expected(name, samples, seed=1):
    """[[wall seconds, UTC seconds]] near every change and at samples random quarter-hours."""
    import zoneinfo
    zone = zoneinfo.ZoneInfo(name)
    quarters = list(every_quarter_hour())
    picked = set(random.Random(seed).sample(range(len(quarters)), samples))
    previous = None
    for i, local in enumerate(quarters):  # a change: the offset differs from the quarter before
        offset = local.replace(tzinfo=zone).utcoffset()
        if previous is not None and offset != previous:
            picked.update(range(max(0, i - 8), min(len(quarters), i + 8)))
        previous = offset
    return [[wall(quarters[i]), instant(quarters[i], zone)] for i in sorted(picked)]


if __name__ == "__main__":
    samples = int(sys.argv[1])
    json.dump(dict((name, expected(name, samples)) for name in sys.argv[2:]), sys.stdout)
