"""XMLTV in: a listing to one pair a channel."""

import bisect
import os
import time

from ._text import _count, _message, _path, _why
from ._status import CANNOT, CLEAN, ERRORS, GuideError, NotAFolder, WARNINGS
from ._write import build
from ._store import _lock, remove_stale, store
from ._intake import _Options, _read_listing
from ._channels import _prune, read_manifest, _stems, _write_manifest


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
