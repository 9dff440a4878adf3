# Each line is an error a type checker must report.
import quarnel
import quarnel_guide

quarnel.current("/var/epg/channel1", "3600")
quarnel.read(42)
title: int = quarnel.read("/var/epg/channel1")[0][1]
quarnel_guide.write("/var/epg/ch", [("1767258000", "News")])
quarnel_guide.write("/var/epg/ch", [(1767258000, "News")], errors="ignore")
name: int = quarnel_guide.from_xmltv("listing.xml", "/var/epg").channels[0][1]
