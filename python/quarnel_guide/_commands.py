"""What each command does."""

import calendar
import errno
import io
import json
import os
import re
import sys
import time

from ._text import _count, file_text, _message, _shown, _why
from ._status import CANNOT, CLEAN, DocumentError, ERRORS, GuideError, Unencodable, UsageError, WARNINGS
from ._pair import read, read_pure
from ._store import _FolderLock, remove_stale, write
from ._check import check, check_status, dump_lines, Finding
from ._times import zone
from ._channels import MANIFEST_NAME, read_manifest, read_map
from ._xmltv_in import from_xmltv
from ._xmltv_out import channel_id, to_xmltv
from ._grid import grid_lines, pairs_in, _terminal_width, _window
from ._console import _stdin_text, _text_out, _without_module_lines


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


def _report_stale(console, removed):
    if removed:
        console.report("%s of killed runs removed" % _count(removed, "temporary file"))


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


class _OpenedOnWrite(object):
    """The file at path, opened at the first write: every pair is read
    before, so one that cannot be read leaves an earlier document as it was."""

    def __init__(self, path):
        self.path, self.file = path, None

    def write(self, text):
        if self.file is None:
            self.file = io.open(self.path, "w", encoding="utf-8")
        return self.file.write(text)

    def flush(self):
        if self.file is not None:
            self.file.flush()

    def close(self):
        if self.file is not None:
            self.file.close()


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
    out = _OpenedOnWrite(args.output) if args.output else _text_out()
    try:
        skipped_titles, skipped_pairs = to_xmltv(pairs, out)
    finally:
        out.flush()
        if args.output:
            out.close()
    if skipped_titles:
        console.report("%s with empty titles skipped" % _count(skipped_titles, "entry", "entries"))
    if skipped_pairs:
        console.report("%s without entries written as no channel" % _count(skipped_pairs, "pair"))
    return ERRORS if skipped_titles or skipped_pairs else CLEAN
