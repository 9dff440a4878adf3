# Types of the quarnel extension module, for type checkers (PEP 561).
import os
from typing import SupportsIndex, Tuple, Union

_Stem = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Entry = Tuple[int, str]

__version__: str

def read(channel_name: _Stem, /) -> Tuple[_Entry, ...]: ...
def current(channel_name: _Stem, shift: int, /) -> Tuple[_Entry, ...]: ...
def between(channel_name: _Stem, start: SupportsIndex, end: SupportsIndex, /) -> Tuple[_Entry, ...]: ...
