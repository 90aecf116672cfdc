"""The host's date epochs."""
import datetime

# Day 0 of Excel's default (1900) date system, as the host counts it.
WINDOWS_EPOCH = datetime.datetime(1899, 12, 30)
# Day 0 of the 1904 date system.
MAC_EPOCH = datetime.datetime(1904, 1, 1)
