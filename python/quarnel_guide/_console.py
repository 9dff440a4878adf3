"""The command line's output: data, reports and problems, and the --log file."""

import codecs
import errno
import io
import os
import sys
import time

from ._text import _shown
from ._store import _replace_file


def _text_out():
    """UTF-8 on standard output, whatever its own encoding (and without
    closing it when dropped, as a TextIOWrapper would)."""
    return codecs.getwriter("utf-8")(getattr(sys.stdout, "buffer", sys.stdout))


def _line(stream, text):
    """One line on a stream of report lines: in the stream's own encoding
    with backslash escapes for what it lacks, UTF-8 where it declares none
    (2.7's pipes and files), so no title, id or name can end a run."""
    if isinstance(text, bytes):
        text = _shown(text)
    encoding = getattr(stream, "encoding", None) or "utf-8"
    try:
        codecs.lookup(encoding)
    except LookupError:
        encoding = "utf-8"
    raw = (text + u"\n").encode(encoding, "backslashreplace")
    stream.write(raw if str is bytes else raw.decode(encoding))


def _err(text):
    _line(sys.stderr, text)


class _Console(object):
    """What a command prints, through one door. Data lines (the mapping)
    go to standard output in UTF-8, reports and problems to standard error;
    every line is kept for --log. quiet holds back all but problems."""

    def __init__(self, quiet=False):
        self.quiet, self.lines = quiet, []

    def data(self, text):
        self.lines.append(text)
        if not self.quiet:
            out = _text_out()
            out.write(text + u"\n")
            out.flush()

    def report(self, text):
        self.lines.append(text)
        if not self.quiet:
            _err(text)

    def problem(self, text):
        self.lines.append(text)
        _err(text)


class _Sink(object):
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def _without_module_lines(call):
    """call() with the module's "Can't open file" and "Read error!" lines
    (through sys.stdout in Python 3, the C stream in 2.7) kept off standard
    output, which holds only what was asked for: the exception says it."""
    sys.stdout.flush()
    saved_fd, null = os.dup(1), os.open(os.devnull, os.O_WRONLY)
    saved, sys.stdout = sys.stdout, _Sink()
    try:
        os.dup2(null, 1)
        return call()
    finally:
        sys.stdout = saved
        sys.stdout.flush()  # 2.7: the C stream's buffer, where "Read error!" may wait
        os.dup2(saved_fd, 1)
        os.close(saved_fd)
        os.close(null)


def _stdin_text():
    return io.open(sys.stdin.fileno(), encoding="utf-8", closefd=False)


LOG_LIMIT = 64 * 1024  # bytes a --log file holds at most


def _log_run(path, argv, status, lines):
    """Adds a run to the log at path: a line with the UTC moment, the
    arguments and the status, then its lines indented. The oldest runs go
    whole to keep the file within LOG_LIMIT; a run longer than that keeps
    its first lines and says how many it left out."""
    head = u"%s quarnel-guide %s: exit %d" % (time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
                                              u" ".join(_shown(a) for a in argv), status)
    run = [(u"  " + line).encode("utf-8", "backslashreplace") + b"\n" for line in lines]
    head = head.encode("utf-8", "backslashreplace")[:LOG_LIMIT // 4] + b"\n"
    room = LOG_LIMIT - len(head)
    if sum(len(line) for line in run) > room:
        kept, size = [], 0
        for line in run:
            if size + len(line) + 64 > room:
                break
            kept.append(line)
            size += len(line)
        run = kept + [b"  ... %d more lines left out\n" % (len(run) - len(kept))]
    runs = []
    try:
        with open(path, "rb") as f:
            for line in f:
                if runs and line.startswith(b"  "):
                    runs[-1] += line
                else:
                    runs.append(line)
    except (IOError, OSError) as error:
        if error.errno != errno.ENOENT:
            raise
    runs.append(head + b"".join(run))
    while sum(len(r) for r in runs) > LOG_LIMIT:
        runs.pop(0)
    _replace_file(path, b"".join(runs))
