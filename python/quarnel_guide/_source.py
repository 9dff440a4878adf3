"""A listing's bytes, decompressed as a stream where they are compressed."""

from ._status import DocumentError


# Compressed listings by their first bytes, whatever their name: the
# decompressor module and how to make one object per member.
_COMPRESSED = (
    (b"\x1f\x8b", "gzip", "zlib", lambda module: module.decompressobj(16 + module.MAX_WBITS)),
    (b"BZh", "bzip2", "bz2", lambda module: module.BZ2Decompressor()),
    (b"\xfd7zXZ\x00", "xz", "lzma", lambda module: module.LZMADecompressor()),
)
_PIECE = 4096  # compressed bytes a step
_OUT = 65536  # decompressed bytes a step, where the decompressor can bound them (2.7's bz2 cannot)


class _Source(object):
    """A listing's bytes as the parser reads them, decompressed as a stream
    where they are compressed, at most _OUT bytes a step: decompressor
    objects, since 2.7's GzipFile cannot read a pipe and its BZ2File takes
    only a name. Members after the first (cat a.gz b.gz) are read too, and
    zero bytes after the last gzip member, as gzip reads them."""

    def __init__(self, raw):
        self.raw, self.pending, self.make, self.draining = raw, raw.read(_PIECE), None, False
        for magic, kind, name, make in _COMPRESSED:
            if self.pending.startswith(magic):
                try:
                    module = __import__(name)
                except ImportError:
                    raise DocumentError("it is %s-compressed, and this Python has no %s module to read it"
                                        % (kind, name))
                self.kind, self.make = kind, lambda make=make, module=module: make(module)
                self._next_member()

    def _next_member(self):
        self.decompressor, self.fed, self.draining = self.make(), False, False

    def _member_ended(self):
        """Whether the member being read reached its end (a download cut
        short stops inside one)."""
        if not self.fed:
            return True
        eof = getattr(self.decompressor, "eof", None)
        if eof is not None:
            return eof
        try:  # 2.7 tells no end: past it, a byte more is left unused (zlib) or refused (bz2)
            self.decompressor.decompress(b"\0")
        except EOFError:
            return True
        except Exception:
            return False
        return getattr(self.decompressor, "unused_data", b"") == b"\0"

    def _inflate(self, piece):
        """Output for piece, bounded where the decompressor can be."""
        d = self.decompressor
        if hasattr(d, "unconsumed_tail"):  # zlib: the input it did not take waits
            out = d.decompress(piece, _OUT)
            self.pending = d.unconsumed_tail
        elif hasattr(d, "needs_input"):  # bz2 and lzma in 3: the output it holds back waits
            out = d.decompress(piece, _OUT)
            self.draining = not d.needs_input and not d.eof
        else:
            out = d.decompress(piece)
        self.fed = True
        return out

    def _only_zeros(self, piece):
        while piece:
            if piece.strip(b"\0"):
                return False
            piece = self.raw.read(_PIECE)
        return True

    def read(self, size=-1):
        while True:
            if self.draining:
                piece = b""
            else:
                piece, self.pending = self.pending or self.raw.read(_PIECE), b""
                if self.make is None:
                    return piece
                if not piece:
                    if not self._member_ended():
                        raise DocumentError("its %s stream ends early, as a download cut short does: fetch it again"
                                            % self.kind)
                    return piece
                if not self.fed and self.kind == "gzip" and piece[:1] == b"\0" and self._only_zeros(piece):
                    return b""  # padding after the last member
            try:
                out = self._inflate(piece)
            except EOFError:  # bz2 and lzma after their end: a new member
                self._next_member()
                self.pending = piece
                continue
            except MemoryError:
                raise
            except Exception as error:  # zlib.error, IOError, lzma.LZMAError
                raise DocumentError("its compressed stream is broken: %s" % error)
            rest = getattr(self.decompressor, "unused_data", b"")
            if rest and not self.draining:
                self._next_member()
                self.pending = rest + self.pending
            if out:
                return out
