"""Stand-in for the host spreadsheet package: only what the native engine ``_tovrel`` needs
from its host, so that tests and the demo can run. Not a spreadsheet library."""
