"""Exit statuses, and the errors that carry one."""

from ._text import _shown


# Exit statuses of every command: clean; warnings only (nothing asked for
# was lost); content problems (programmes skipped, entries or channels
# refused); could not (usage, input, document, a failed write); Ctrl-C.
CLEAN, WARNINGS, ERRORS, CANNOT, INTERRUPTED = 0, 1, 2, 3, 130  # SIGTERM 143, SIGHUP 129: 128 + the signal
PIPE_CLOSED = 141  # as a shell shows a command ended by SIGPIPE


class GuideError(Exception):
    """A refusal or a failure, with a message naming the entry and the rule."""
    status = ERRORS


class Unencodable(GuideError):
    """A title with a character cp1251 lacks, under errors "strict"."""

    def __init__(self, number, title, position):
        self.number, self.title, self.position = number, title, position
        GuideError.__init__(self, self.words("errors='replace'", "'fold'"))

    def words(self, replace, fold):
        """The message, naming the ways around it as the caller spells them."""
        return ("entry %d: %r (U+%04X) at %d of %r has no cp1251 byte (%s writes '?', %s also base letters)"
                % (self.number, self.title[self.position], ord(self.title[self.position]), self.position,
                   self.title, replace, fold))


class UsageError(GuideError):
    """An option the command cannot take."""
    status = CANNOT


class NotAFolder(GuideError):
    """The place named for the pairs is a file."""
    status = CANNOT

    def __init__(self, path):
        self.path = path
        GuideError.__init__(self, "%s is a file, not a folder: name a folder for the pairs (one is made when "
                                  "missing)" % _shown(path))


class DocumentError(GuideError):
    """A whole input refused (not a listing, entities declared, an unknown
    encoding): nothing is written from it."""
    status = CANNOT


class FolderLocked(GuideError):
    """Another run held a folder's lock for longer than the wait."""
    status = CANNOT


class ZoneError(GuideError):
    """A --zone that is none of the forms, or a zoneinfo file that cannot be read."""
    status = CANNOT
