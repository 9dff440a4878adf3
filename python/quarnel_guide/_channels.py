"""Which pair a channel is: stable file names, the manifest, the map, pruning."""

import errno
import io
import os
import re

from ._text import _count, _shown
from ._status import DocumentError
from ._store import _holds, _replace_file


MANIFEST_NAME = ".quarnel-guide.channels"  # id<TAB>stem<TAB>display name, a line a channel
_SAFE_STEM = re.compile(r"[A-Za-z0-9_-][A-Za-z0-9._~-]{0,63}\Z")


def _cleaned(channel_id):
    name = re.sub(r"[^A-Za-z0-9._-]", "_", channel_id)[:64] or "_"
    return "_" + name[1:] if name.startswith(".") else name


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
