# Type-checks clean against the stubs: every way the calls are meant to be used.
import pathlib
from typing import List, Tuple

import quarnel

entries: Tuple[Tuple[int, str], ...] = quarnel.read("/var/epg/channel1")
starts: List[int] = [start for start, _ in quarnel.read(b"/var/epg/channel1")]
titles: List[str] = [title for _, title in quarnel.current(pathlib.Path("/var/epg/ch"), 3600)]
grid: Tuple[Tuple[int, str], ...] = quarnel.between("/var/epg/ch", 1700000000, True)
