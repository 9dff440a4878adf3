# Type-checks clean against the stubs: every way the calls are meant to be used.
import pathlib
from typing import List, Tuple

import quarnel
import quarnel_guide

entries: Tuple[Tuple[int, str], ...] = quarnel.read("/var/epg/channel1")
starts: List[int] = [start for start, _ in quarnel.read(b"/var/epg/channel1")]
titles: List[str] = [title for _, title in quarnel.current(pathlib.Path("/var/epg/ch"), 3600)]
grid: Tuple[Tuple[int, str], ...] = quarnel.between("/var/epg/ch", 1700000000, True)

changed: int = quarnel_guide.write("/var/epg/ch", [(1767258000, "News")], errors="fold")
pure, reader = quarnel_guide.read("/var/epg/ch")
severities: List[str] = [finding.severity for finding in quarnel_guide.check("/var/epg/ch")]
report = quarnel_guide.from_xmltv("-", "/var/epg", zone=3600, days=1.5)
written: List[str] = [name for _, name, _ in report.channels]
status: int = report.status()
