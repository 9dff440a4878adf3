"""The command line: its options, statuses and signals."""

import argparse
import errno
import os
import signal
import sys

from ._text import _message, _why
from ._status import CANNOT, CLEAN, ERRORS, GuideError, INTERRUPTED, PIPE_CLOSED, WARNINGS
from ._write import ERRORS_MODES
from ._store import _ENDING, _handle
from ._console import _Console, _err, _log_run
from ._commands import _command_check, _command_dump, _command_from_xmltv, _command_grid, _command_to_xmltv, _command_write


def _positive(unit, most):
    """An argparse type: a number above 0 and below most."""
    def number(text):
        try:
            value = float(text)
        except ValueError:
            value = 0
        if not 0 < value < most:
            raise argparse.ArgumentTypeError("%r is not a positive number of %s" % (text, unit))
        return value
    return number


_days, _hours = _positive("days", 1e6), _positive("hours", 24 * 366)


def _stem_id(text):
    if "=" not in text:
        raise argparse.ArgumentTypeError("%r is not STEM=ID" % text)
    return text.split("=", 1)


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        _err("%s: %s" % (self.prog, message))
        sys.exit(CANNOT)  # a usage error: nothing was checked or made


def parser():
    top = _Parser(prog="quarnel-guide", description="Make, inspect and convert guide pairs (<stem>.ndx + "
                  "<stem>.pdt). Exit status: %d clean, %d warnings only, %d content problems, %d could not, %d "
                  "interrupted, %d or %d ended by SIGTERM or SIGHUP." % (CLEAN, WARNINGS, ERRORS, CANNOT, INTERRUPTED,
                                                                      128 + signal.SIGTERM, 128 + signal.SIGHUP))
    commands = top.add_subparsers(dest="command", parser_class=_Parser)
    p = commands.add_parser("write", help="write a pair from a JSON list of [unix_start, title]")
    p.add_argument("stem")
    p.add_argument("entries", nargs="?", default="-", help="JSON file, - for standard input")
    p.add_argument("--errors", choices=ERRORS_MODES, default="strict")
    p.add_argument("--keep-order", action="store_true", help="keep the given order instead of sorting by start")
    p.add_argument("-q", "--quiet", action="store_true", help="print only failures; replaced characters are none")
    p.add_argument("--wait", type=float, default=300, metavar="SECONDS",
                   help="how long to wait for another run writing into the folder (default 300)")
    p.set_defaults(run=_command_write)
    p = commands.add_parser("check", help="report what a reader would get wrong; exit %d clean, %d warnings, "
                            "%d errors, %d could not check" % (CLEAN, WARNINGS, ERRORS, CANNOT))
    p.add_argument("stems", nargs="+", metavar="PLACE", help="a pair's stem, or a folder of pairs")
    p.set_defaults(run=_command_check)
    p = commands.add_parser("grid", help="what is on, channels down and time across")
    p.add_argument("places", nargs="+", metavar="PLACE", help="a folder of pairs, or a pair's stem")
    p.add_argument("--at", metavar="TIME", help="the window's start: Unix seconds or YYYY-MM-DD HH:MM (default: now)")
    p.add_argument("--hours", type=_hours, default=3, help="the window's length (default 3)")
    p.add_argument("--width", type=int, help="cells across (default: the terminal's, else 80)")
    p.add_argument("--utc", action="store_true", help="UTC instead of the machine's local time")
    p.add_argument("--pure", action="store_true", help="read without the quarnel extension")
    p.set_defaults(run=_command_grid)
    p = commands.add_parser("dump", help="print the entries a plugin gets")
    p.add_argument("stems", nargs="+", metavar="PLACE", help="a pair's stem, or a folder of pairs")
    p.add_argument("--local", action="store_true", help="local time instead of UTC")
    p.add_argument("--json", action="store_true")
    p.add_argument("--pure", action="store_true", help="read without the quarnel extension")
    p.set_defaults(run=_command_dump)
    p = commands.add_parser("from-xmltv", help="one pair per channel of an XMLTV listing; prints a line a channel: "
                            "id<TAB>file name<TAB>display name")
    p.add_argument("source", help="the listing: a file or - for standard input; gzip, bzip2 or xz read as such")
    p.add_argument("out_dir", help="made when missing")
    p.add_argument("--zone", default="+0000", metavar="ZONE",
                   help="the zone of times that carry no offset: +hhmm, a zone name (CET: fixed), a zoneinfo name "
                        "(Europe/Berlin) or a POSIX TZ rule (CET-1CEST,M3.5.0,M10.5.0/3); default +0000")
    p.add_argument("--zone-dir", metavar="DIR", help="where zoneinfo names are looked for (default: $TZDIR, "
                   "else /usr/share/zoneinfo, /usr/lib/zoneinfo, /usr/share/lib/zoneinfo)")
    p.add_argument("--days", type=_days, help="keep programmes on air now or starting within this many days")
    p.add_argument("--now", type=int, metavar="UNIX_SECONDS", help="the moment --days counts from (default: now)")
    p.add_argument("--channel", action="append", help="a channel id to write (repeat; default all)")
    p.add_argument("--lang", help="preferred title languages, comma-separated")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="for cron: print only failures; skipped programmes and changed titles are none")
    p.add_argument("--log", metavar="FILE", help="append each run's full report to FILE, kept within 64 KiB")
    p.add_argument("--map", metavar="FILE", help="id<TAB>file name lines naming pairs, as the lines this prints")
    p.add_argument("--prune", action="store_true",
                   help="remove the pairs of channels this wrote before that the listing no longer holds")
    p.add_argument("--wait", type=float, default=300, metavar="SECONDS",
                   help="how long to wait for another run writing into the folder (default 300)")
    p.set_defaults(run=_command_from_xmltv)
    p = commands.add_parser("to-xmltv", help="an XMLTV document from pairs")
    p.add_argument("stems", nargs="+")
    p.add_argument("--id", action="append", metavar="STEM=ID", type=_stem_id, help="the channel id of a stem")
    p.add_argument("--map", help="ids and display names from the lines from-xmltv printed")
    p.add_argument("-o", "--output")
    p.set_defaults(run=_command_to_xmltv)
    return top


def main(argv=None):
    """Runs one command; returns its exit status. Every failure is one line
    on standard error, never a traceback: a box runs this unattended."""
    argv = sys.argv[1:] if argv is None else argv
    args = parser().parse_args(argv)
    if not getattr(args, "run", None):
        parser().print_usage(sys.stderr)
        _err("quarnel-guide: a command is needed")
        return CANNOT
    console = _Console(getattr(args, "quiet", False))
    saved = _handle([n for n in _ENDING if n != signal.SIGINT], _end)
    try:
        status = _run(args, console)
    finally:
        for number, handler in saved.items():
            signal.signal(number, handler)
    if getattr(args, "log", None):
        try:
            _log_run(args.log, argv, status, console.lines)
        except (IOError, OSError) as error:
            console.problem(u"quarnel-guide %s: the log could not be written: %s" % (args.command, _why(error)))
            status = max(status, WARNINGS)
    return status


class _Ended(KeyboardInterrupt):
    """SIGTERM or SIGHUP: the run ends as Ctrl-C ends it."""


def _end(number, _):
    raise _Ended(number)


def _run(args, console):
    name = "quarnel-guide %s" % args.command
    try:
        return args.run(args, console)
    except _Ended as ended:
        number = ended.args[0]
        console.problem("%s: ended by %s" % (name, "SIGTERM" if number == signal.SIGTERM else "SIGHUP"))
        return 128 + number
    except KeyboardInterrupt:
        console.problem("%s: interrupted" % name)
        return INTERRUPTED
    except (IOError, OSError) as error:
        if error.errno != errno.EPIPE:
            console.problem(u"%s: %s" % (name, _why(error)))
            return CANNOT
        # The reader stopped (dump | head): quietly, and without the
        # interpreter's complaint when it flushes at exit.
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
        return PIPE_CLOSED
    except GuideError as error:
        console.problem(u"%s: %s" % (name, _message(error)))
        return error.status
    except MemoryError:
        console.problem("%s: out of memory" % name)
        return CANNOT
    except Exception as error:  # a fault of this tool: still one line
        console.problem(u"%s: internal error: %s: %s" % (name, type(error).__name__, _message(error)))
        return CANNOT
