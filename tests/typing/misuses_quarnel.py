# Each line is an error a type checker must report.
import quarnel

quarnel.current("/var/epg/channel1", "3600")
quarnel.read(42)
title: int = quarnel.read("/var/epg/channel1")[0][1]
